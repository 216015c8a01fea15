// CCID messages as the virtual token's reader takes them: PC_to_RDR_XfrBlock
// framing, continuation requests of chained answers and the GET RESPONSE
// fetch of 61xx rounds, under the reader's faults (time extensions, 61xx
// rounds, small chained blocks, cut, long or failed transfers).
//
// Input: steps until the input ends, each a step byte and what it takes:
// 0 - a frame sent as a whole message;
// 1 - a frame holding an APDU that the harness puts in an XfrBlock the way
//     the library does (zero padding to 64-byte units from 64 bytes on);
// 2 - a receive with the capacity in the next 2 bytes;
// 3 - faults for the next answers, from the next 7 bytes.
#include "ccid_reader.h"
#include "fuzz_input.h"
#include "personalised_state.h"

namespace {

using kvfuzz::Bytes;

Bytes XfrBlock(const Bytes& apdu, uint8_t sequence) {
    size_t total = apdu.size() + 10;
    if (total >= 64 && total % 64) total += 64 - total % 64;
    Bytes m(total, 0);
    m[0] = 0x6F;
    const uint32_t length = static_cast<uint32_t>(total - 10);
    for (int i = 0; i < 4; ++i) m[1 + i] = static_cast<uint8_t>(length >> (8 * i));
    m[6] = sequence;
    std::copy(apdu.begin(), apdu.end(), m.begin() + 10);
    return m;
}

void SetFaults(sim::Faults& f, kvfuzz::FuzzInput& in) {
    f.timeExtensions = in.Byte() % 4;
    f.rounds61 = in.Byte() % 4;
    f.chainChunk = in.Byte();
    f.shortAnswers = in.Byte() % 2;
    f.longAnswers = in.Byte() % 2;
    f.recvFailures = in.Byte() % 2;
    f.sendFailures = in.Byte() % 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::FuzzInput in(data, size);
    sim::VirtualToken token(kvfuzz::PersonalisedState(false), "");
    sim::CcidReader reader(token);
    uint8_t sequence = 0;
    for (int steps = 0; steps < 64 && !in.Empty(); ++steps) {
        switch (in.Byte() % 4) {
            case 0:
                reader.Send(in.Frame());
                break;
            case 1: {
                const Bytes apdu = in.Frame();
                if (apdu.size() + 10 <= sim::CcidReader::kMaxMessage) reader.Send(XfrBlock(apdu, sequence++));
                break;
            }
            case 2: {
                const size_t capacity = in.U16() % 4096;
                const bool longAnswer = token.GetFaults().longAnswers > 0;  // the reader's planted fault
                Bytes message;
                if (reader.Receive(capacity, message) && !longAnswer)
                    kvfuzz::Check(message.size() <= capacity, "a message longer than asked for");
                break;
            }
            default:
                SetFaults(token.GetFaults(), in);
                break;
        }
    }
    return 0;
}
