// The software random source: mbed TLS CTR_DRBG seeded from the operating
// system. Nothing above this file knows which library runs.
#ifndef KV_MECH_SOFT_RANDOM_BACKEND_H
#define KV_MECH_SOFT_RANDOM_BACKEND_H

#include <cstdint>

// Fills buf with count random bytes; returns count, or 0 when buf is null,
// count is 0 or the generator fails.
uint32_t genrate_random_bytes(uint8_t* buf, uint32_t count);

#endif
