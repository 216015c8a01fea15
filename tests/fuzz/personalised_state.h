// The virtual token's state right after personalisation, made once per
// process and copied for every input.
#ifndef KV_TESTS_FUZZ_PERSONALISED_STATE_H
#define KV_TESTS_FUZZ_PERSONALISED_STATE_H

#include "personalise.h"

namespace kvfuzz {

inline const sim::TokenState& PersonalisedState(bool secureMessaging, sim::Cipher cipher = sim::Cipher::Aes128) {
    auto make = [](bool sm, sim::Cipher c) {
        sim::Personalisation p;
        p.secureMessaging = sm;
        p.cipher = c;
        return sim::Personalise(p);
    };
    static const sim::TokenState kStates[3] = {make(false, sim::Cipher::Aes128), make(true, sim::Cipher::Aes128),
                                                make(true, sim::Cipher::Tdes2)};
    if (!secureMessaging) return kStates[0];
    return cipher == sim::Cipher::Aes128 ? kStates[1] : kStates[2];
}

}  // namespace kvfuzz

#endif
