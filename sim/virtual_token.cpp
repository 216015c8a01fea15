#include "virtual_token.h"

#include <sstream>

#include "hex.h"

namespace sim {

VirtualToken::VirtualToken(TokenState state, std::string statePath)
    : state_(std::move(state)), statePath_(std::move(statePath)), card_(state_, [this] { Persist(); }) {
    card_.SetObserver([this](const CommandApdu& c, const Answer& a) {
        Bytes head{c.cla, c.ins, c.p1, c.p2};
        std::ostringstream line;
        line << "APDU " << ToHex(head) << " data=" << ToHex(c.data) << " le=" << c.le << " -> " << ToHex(a.data)
             << " SW=" << std::hex << std::uppercase << a.sw;
        trace_.push_back(line.str());
    });
}

void VirtualToken::Persist() {
    if (!statePath_.empty()) SaveState(statePath_, state_);
}

void VirtualToken::TraceRaw(char direction, const Bytes& message) {
    trace_.push_back(std::string(1, direction) + " " + ToHex(message));
}

std::string VirtualToken::StatsText() const {
    std::ostringstream out;
    out << "messages_in=" << stats_.messagesIn << " messages_out=" << stats_.messagesOut << " apdus=" << stats_.apdus
        << " bytes_in=" << stats_.bytesIn << " bytes_out=" << stats_.bytesOut;
    for (const auto& [ins, n] : stats_.perIns) out << " ins_" << ToHex(Bytes{ins}) << "=" << n;
    return out.str();
}

bool VirtualToken::Control(const std::string& line, std::string& answer) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    auto number = [&in](auto& target) {
        std::string word;
        if (!(in >> word)) return false;
        try {
            target = static_cast<std::remove_reference_t<decltype(target)>>(std::stoll(word, nullptr, 0));
        } catch (...) {
            return false;
        }
        return true;
    };
    answer.clear();
    if (cmd == "reset") {
        card_.Reset();
        return true;
    }
    if (cmd == "fail-mac") {
        int n;
        if (!number(n)) return false;
        card_.FailNextMacs(n);
        return true;
    }
    struct Setting {
        const char* name;
        int* target;
    } settings[] = {{"time-ext", &faults_.timeExtensions}, {"rounds61", &faults_.rounds61},
                    {"send-fail", &faults_.sendFailures},  {"recv-fail", &faults_.recvFailures},
                    {"short", &faults_.shortAnswers},      {"long", &faults_.longAnswers}};
    for (const auto& s : settings) {
        if (cmd == s.name) return number(*s.target);
    }
    if (cmd == "chain") return number(faults_.chainChunk);
    if (cmd == "send-fail-after") return number(faults_.sendFailDelay) && number(faults_.sendFailures);
    if (cmd == "recv-fail-after") return number(faults_.recvFailDelay) && number(faults_.recvFailures);
    if (cmd == "ids") return number(faults_.vendorId) && number(faults_.productId);
    if (cmd == "latency") return number(faults_.usbDelayUs) && number(faults_.cardDelayUs);
    if (cmd == "stats") {
        answer = StatsText();
        return true;
    }
    if (cmd == "stats-reset") {
        stats_ = Stats();
        return true;
    }
    if (cmd == "trace") {
        for (const auto& t : trace_) answer += t + "\n";
        return true;
    }
    if (cmd == "trace-clear") {
        trace_.clear();
        return true;
    }
    if (cmd == "faults") {  // what the injected faults still hold in store
        std::ostringstream out;
        out << "send=" << faults_.sendFailures << " after=" << faults_.sendFailDelay << " recv=" << faults_.recvFailures << " recv-after=" << faults_.recvFailDelay
            << " short=" << faults_.shortAnswers << " long=" << faults_.longAnswers
            << " mac=" << card_.PendingMacFailures();
        answer = out.str();
        return true;
    }
    if (cmd == "counter") {
        answer = std::to_string(state_.writeCounter);
        return true;
    }
    if (cmd == "tries") {
        std::ostringstream out;
        out << "user=" << int(state_.pins[0].Left()) << "/" << int(state_.pins[0].Max())
            << " so=" << int(state_.pins[1].Left()) << "/" << int(state_.pins[1].Max());
        answer = out.str();
        return true;
    }
    if (cmd == "other") {
        std::string hex;
        std::getline(in, hex);
        auto apdu = FromHex(hex);
        if (!apdu) return false;
        answer = ToHex(card_.ProcessAsOtherApp(*apdu));
        return true;
    }
    return false;
}

}  // namespace sim
