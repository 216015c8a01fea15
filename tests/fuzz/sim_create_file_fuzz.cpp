// CREATE FILE control parameters as the virtual token parses them (62 L
// around 80 size, 83 FID and 86 access conditions, among any other
// objects), and the life of the file they make: select, read, write, delete.
//
// Input: a flag byte (bit 0: Lc in the extended form; bit 1: the master file
// is selected first), then the control parameters.
#include "card.h"
#include "fuzz_input.h"
#include "personalised_state.h"

namespace {

constexpr uint16_t kMasterFile = 0x3F00;

uint16_t Sw(const sim::Bytes& answer) { return static_cast<uint16_t>(answer[answer.size() - 2] << 8 | answer.back()); }

sim::Bytes WithFid(uint8_t ins, uint16_t fid) {
    return {0x00, ins, 0x00, 0x00, 0x02, static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::FuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    const kvfuzz::Bytes fcp = in.Rest();
    if (fcp.size() > 0xFFFF) return 0;

    sim::TokenState state = kvfuzz::PersonalisedState(false);
    sim::Card card(state, nullptr);
    if (flags & 2) card.Process(WithFid(0xA4, kMasterFile));
    sim::Bytes command{0x00, 0xE0, 0x00, 0x00};
    if ((flags & 1) || fcp.size() > 0xFF) {
        command.push_back(0x00);
        command.push_back(static_cast<uint8_t>(fcp.size() >> 8));
    }
    command.push_back(static_cast<uint8_t>(fcp.size()));
    command.insert(command.end(), fcp.begin(), fcp.end());

    const auto before = state.files;
    if (Sw(card.Process(command)) != 0x9000) {
        kvfuzz::Check(state.files.size() == before.size(), "a refused create left a file");
        return 0;
    }
    kvfuzz::Check(state.files.size() == before.size() + 1, "a create that succeeded made no file");
    uint16_t fid = 0;
    for (const auto& file : state.files) {
        if (!before.count(file.first)) fid = file.first;
    }
    kvfuzz::Check(Sw(card.Process(WithFid(0xA4, fid))) == 0x9000, "a created file cannot be selected");
    card.Process({0x00, 0xB0, 0x00, 0x00, 0x00});
    card.Process({0x00, 0xD6, 0x00, 0x00, 0x01, 0x5A});
    card.Process(WithFid(0xE4, fid));
    return 0;
}
