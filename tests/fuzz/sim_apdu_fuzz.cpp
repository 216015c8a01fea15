// Command APDUs as the virtual token parses and runs them in plain form
// (secure messaging off): the short and extended Lc and Le forms with the
// reader's zero padding, and every command of the card (files, GET DATA,
// GET CHALLENGE, channel opening, PIN keys).
//
// Input: frames, one command each. The first byte of a frame says how the
// command reaches the card (bit 0: from another application; bit 1: the
// card is reset first); the rest is the command.
#include "card.h"
#include "fuzz_input.h"
#include "personalised_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::FuzzInput in(data, size);
    sim::TokenState state = kvfuzz::PersonalisedState(false);
    sim::Card card(state, nullptr);
    for (int steps = 0; steps < 64 && !in.Empty(); ++steps) {
        const kvfuzz::Bytes frame = in.Frame();
        if (frame.empty()) continue;
        const sim::Bytes command(frame.begin() + 1, frame.end());
        if (auto parsed = sim::ParseCommand(command))
            kvfuzz::Check(4 + parsed->data.size() <= command.size(), "command data longer than the command");
        if (frame[0] & 2) card.Reset();
        const sim::Bytes answer = frame[0] & 1 ? card.ProcessAsOtherApp(command) : card.Process(command);
        kvfuzz::Check(answer.size() >= 2, "an answer without a status word");
    }
    return 0;
}
