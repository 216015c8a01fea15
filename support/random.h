// The software random source: the operating system's generator.
#ifndef KV_SUPPORT_RANDOM_H
#define KV_SUPPORT_RANDOM_H

#include <cstdint>

// Fills buf with count random bytes; returns count, or 0 when buf is null,
// count is 0 or the generator fails.
uint32_t genrate_random_bytes(uint8_t* buf, uint32_t count);

#endif
