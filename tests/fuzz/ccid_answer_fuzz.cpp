// The reader's CCID answers as the library's USB device reads them: message
// framing, status (time extension) messages, chained blocks and 61xx rounds.
//
// Input: command length (2 bytes), the caller's answer buffer size (2 bytes),
// a flag byte (bit 0: the reader sends its last message again and again;
// bit 1: the caller passes no answer buffer), then the reader's messages,
// each a frame.
#include "fake_bridge.h"
#include "fuzz_input.h"
#include "libusb_dev.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::FuzzInput in(data, size);
    const uint32_t commandLen = in.U16() % 2200;  // a little past the largest command
    const uint32_t capacity = in.U16() % 4200;
    const uint8_t flags = in.Byte();
    const bool withBuffer = !(flags & 2);

    FakeBridge bridge;
    bridge.repeatLast = flags & 1;
    while (!in.Empty()) bridge.answers.push_back(in.Frame());
    libusb_dev_t dev("", &bridge);

    kvfuzz::Bytes command(commandLen, 0), response(capacity + 1);  // never null, even for capacity 0
    if (commandLen > 1) command[1] = 0xB0;
    for (int exchange = 0; exchange < 3 && !bridge.answers.empty(); ++exchange) {
        uint32_t length = capacity;
        uint8_t sw1 = 0, sw2 = 0;
        RV rv = dev.Transmit(command.data(), commandLen, withBuffer ? response.data() : nullptr,
                             withBuffer ? &length : nullptr, &sw1, &sw2);
        if (rv == 0 && withBuffer) kvfuzz::Check(length <= capacity, "answer longer than the caller's buffer");
    }
    return 0;
}
