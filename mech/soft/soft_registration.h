// Registers a software mechanism class at library load.
#ifndef KV_MECH_SOFT_SOFT_REGISTRATION_H
#define KV_MECH_SOFT_SOFT_REGISTRATION_H

#include "alg_factory.h"

template <class T>
Alg* NewSoftAlg() {
    return new T();
}

#define KV_REGISTER_SOFT(Mech, Name) \
    const bool g_is_registered_soft_alg_##Mech##__##Name = AlgFactory::RegisterSoftAlg(Mech, &NewSoftAlg<Name>);

#endif
