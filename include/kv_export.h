// Marks a symbol as part of the module's exported surface.
#ifndef KV_EXPORT_H
#define KV_EXPORT_H

#define KV_EXPORT __attribute__((visibility("default")))

#endif
