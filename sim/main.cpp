// kvtoken: personalise and serve the virtual token.
//
//   kvtoken personalise --state FILE [--user-pin P] [--so-pin P] [--user-tries N]
//           [--so-tries N] [--label L] [--serial HEX16 | --serial-text TEXT]
//           [--cipher aes|3des] [--sm on|off] [--capacity BYTES]
//   kvtoken serve --state FILE --socket PATH [--vpcd PORT]
//
// With --vpcd the token is also the card of the virtual PC/SC reader whose
// driver listens on 127.0.0.1:PORT (sim/vpcd_card.h); the socket still serves
// the control commands (stats, reset, ...) and CCID hosts. When the driver
// closes the connection the card is out of the reader; stopping the process
// pulls it, starting it again on the same state puts it back.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "daemon.h"
#include "personalise.h"
#include "vpcd_card.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: kvtoken personalise --state FILE [--user-pin P] [--so-pin P] [--user-tries N]\n"
                 "         [--so-tries N] [--label L] [--serial HEX16 | --serial-text TEXT]\n"
                 "         [--cipher aes|3des] [--sm on|off] [--capacity BYTES]\n"
                 "       kvtoken serve --state FILE --socket PATH [--vpcd PORT]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string mode = argv[1];
    std::map<std::string, std::string> opt;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strncmp(argv[i], "--", 2) != 0) return Usage();
        opt[argv[i] + 2] = argv[i + 1];
    }
    if (!opt.count("state")) return Usage();
    const std::string statePath = opt["state"];

    if (mode == "personalise") {
        sim::Personalisation p;
        if (opt.count("user-pin")) p.userPin = opt["user-pin"];
        if (opt.count("so-pin")) p.soPin = opt["so-pin"];
        if (opt.count("user-tries")) p.userTries = std::stoi(opt["user-tries"]);
        if (opt.count("so-tries")) p.soTries = std::stoi(opt["so-tries"]);
        if (opt.count("label")) p.label = opt["label"];
        if (opt.count("serial")) p.serial = opt["serial"];
        if (opt.count("serial-text")) {
            p.serial = opt["serial-text"];
            p.serialIsText = true;
        }
        if (opt.count("cipher")) p.cipher = opt["cipher"] == "3des" ? sim::Cipher::Tdes2 : sim::Cipher::Aes128;
        if (opt.count("sm")) p.secureMessaging = opt["sm"] != "off";
        if (opt.count("capacity")) p.capacity = static_cast<uint32_t>(std::stoul(opt["capacity"]));
        if (p.userTries < 1 || p.userTries > 15 || p.soTries < 1 || p.soTries > 15) return Usage();
        if (!sim::SaveState(statePath, sim::Personalise(p))) {
            std::fprintf(stderr, "cannot write %s\n", statePath.c_str());
            return 1;
        }
        std::printf("personalised %s\n", statePath.c_str());
        return 0;
    }
    if (mode == "serve") {
        if (!opt.count("socket")) return Usage();  // no default: a shared folder is no place for a token
        auto state = sim::LoadState(statePath);
        if (!state) {
            std::fprintf(stderr, "cannot read token state %s\n", statePath.c_str());
            return 1;
        }
        sim::VirtualToken token(std::move(*state), statePath);
        const std::string socketPath = opt["socket"];
        if (opt.count("vpcd")) {
            int port = std::stoi(opt["vpcd"]);
            int fd = port > 0 && port < 65536 ? sim::ConnectVpcd(static_cast<uint16_t>(port)) : -1;
            if (fd < 0) {
                std::fprintf(stderr, "no vpcd driver answers on 127.0.0.1:%s\n", opt["vpcd"].c_str());
                return 1;
            }
            std::thread(sim::ServeVpcd, fd, std::ref(token)).detach();
        }
        return sim::Serve(socketPath, token);
    }
    return Usage();
}
