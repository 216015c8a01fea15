// Process-wide counter changes under one lock; each returns the new value.
#ifndef KV_SUPPORT_INTERLOCKED_H
#define KV_SUPPORT_INTERLOCKED_H

#include <cstdint>

uint32_t InterlockedIncrement(uint32_t* counter);
uint32_t InterlockedDecrement(uint32_t* counter);

#endif
