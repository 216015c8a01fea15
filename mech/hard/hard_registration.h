// The token registry: fills a token's algorithm factory with the
// token-backed mechanisms and the software ones token keys may use.
#ifndef KV_MECH_HARD_HARD_REGISTRATION_H
#define KV_MECH_HARD_HARD_REGISTRATION_H

#include "alg_factory.h"

// Registers every entry with the factory (made for its token); returns 0.
RV RegHardAlg(AlgFactory& factory);

#endif
