#include "card.h"

namespace sim {

Card::Card(TokenState& state, std::function<void()> onChange) : state_(state), onChange_(std::move(onChange)) {}

void Card::Reset() {
    channel_.Close();
    verified_[0] = verified_[1] = false;
    df_ = Df::None;
    currentEf_.reset();
    pendingChallenge_.clear();
    env_ = {};
    needSelect_ = true;
}

void Card::SetNextChannelValues(const Bytes& cardData12, const Bytes& cardChallenge8) {
    nextCardData_ = cardData12;
    nextCardChallenge_ = cardChallenge8;
}

void Card::Changed(bool bumpCounter) {
    if (bumpCounter) ++state_.writeCounter;
    if (onChange_) onChange_();
}

bool Card::Allowed(uint8_t condition) const {
    if (privileged_) return true;
    switch (condition) {
        case 0x96: return verified_[0];
        case 0xB8: return verified_[1];
        case 0x9F:
        case 0xFF: return false;
        default: return true;
    }
}

// While secure messaging is on, only these travel in plain form.
bool Card::PlainAllowedDuringChannel(const CommandApdu& c) const {
    switch (c.ins) {
        case 0x84:  // GET CHALLENGE
        case 0xCA:  // GET DATA
        case 0x50:  // INITIALIZE UPDATE
            return true;
        case 0x82:  // EXTERNAL AUTHENTICATE of the channel
            return c.p1 == 0x03;
        default:
            return false;
    }
}

// After a reset only the master file or the application may be selected.
bool Card::SelectsDirectory(const CommandApdu& c) {
    return c.ins == 0xA4 && c.data.size() == 2 &&
           ((c.data[0] == 0x3F && c.data[1] == 0x00) || (c.data[0] == 0x4E && c.data[1] == 0x51));
}

Bytes Card::Finish(const Answer& a, bool wrap) {
    Bytes out;
    if (!a.data.empty() && a.sw == 0x9000) out = wrap ? channel_.WrapAnswer(a.data) : a.data;
    out.push_back(static_cast<uint8_t>(a.sw >> 8));
    out.push_back(static_cast<uint8_t>(a.sw));
    return out;
}

Bytes Card::Process(const Bytes& command) {
    auto parsed = ParseCommand(command);
    if (!parsed) return Finish({{}, 0x6700}, false);
    CommandApdu c = *parsed;
    bool wrapped = (c.cla & 0x0C) == 0x0C;
    if ((c.cla & 0x0C) == 0x08) return Finish({{}, 0x6882}, false);
    commandWrapped_ = wrapped;

    if (wrapped) {
        // After a reset the application must be selected again, through a new channel.
        if (needSelect_ && !channel_.IsOpen()) return Finish({{}, 0x6985}, false);
        if (!channel_.IsOpen()) return Finish({{}, 0x6988}, false);
        if (macFailures_ > 0) {
            --macFailures_;
            channel_.Close();
            return Finish({{}, 0x6988}, false);
        }
        auto plain = channel_.Unwrap(c);
        if (!plain) return Finish({{}, 0x6988}, false);
        if (needSelect_ && !SelectsDirectory(*plain)) return Finish({{}, 0x6985}, false);
        return Finish(Execute(*plain), true);
    }
    if (needSelect_ && !PlainAllowedDuringChannel(c) && !SelectsDirectory(c)) return Finish({{}, 0x6985}, false);
    if (state_.secureMessaging && !PlainAllowedDuringChannel(c)) return Finish({{}, 0x6982}, false);
    return Finish(Execute(c), false);
}

Bytes Card::ProcessAsOtherApp(const Bytes& command) {
    auto parsed = ParseCommand(command);
    if (!parsed) return Finish({{}, 0x6700}, false);
    auto savedDf = df_;
    auto savedNeed = needSelect_;
    std::swap(currentEf_, otherAppEf_);
    std::swap(env_, otherAppEnv_);
    privileged_ = true;
    commandWrapped_ = false;
    df_ = Df::Application;
    Bytes out = Finish(Execute(*parsed), false);
    privileged_ = false;
    df_ = savedDf;
    needSelect_ = savedNeed;
    std::swap(currentEf_, otherAppEf_);
    std::swap(env_, otherAppEnv_);
    for (auto* ef : {&currentEf_, &otherAppEf_}) {
        if (*ef && !state_.files.count(**ef)) ef->reset();
    }
    return out;
}

Answer Card::Execute(const CommandApdu& c) {
    Answer a = Dispatch(c);
    if (observer_) observer_(c, a);
    return a;
}

Answer Card::Dispatch(const CommandApdu& c) {
    switch (c.ins) {  // proprietary commands come with class 80
        case 0x34:
        case 0x50:
        case 0xB4:
        case 0xE5:
        case 0xE7:
        case 0xE9:
        case 0xED:
            if (c.cla != 0x80) return {{}, 0x6E00};
            break;
        default:
            break;
    }
    switch (c.ins) {
        case 0xA4: return Select(c);
        case 0xB0: return ReadBinary(c);
        case 0xD6: return UpdateBinary(c);
        case 0xE0: return CreateFile(c);
        case 0xE4: return DeleteFile(c);
        case 0x34: return ListFiles();
        case 0xCA: return GetData(c);
        case 0x84: return GetChallenge(c);
        case 0x50: return InitializeUpdate(c);
        case 0x82: return ExternalAuthenticate(c);
        case 0xE5: return c.p1 == 0x05 ? LoadSecretKey(c) : UpdatePinKey(c);
        case 0x46: return GenerateKeyPair(c);
        case 0xE7: return WriteKeyItem(c, true);
        case 0xE9: return WriteKeyItem(c, false);
        case 0xB4: return ReadPublicKey(c);
        case 0x22: return ManageSecurityEnvironment(c);
        case 0x2A: return PerformSecurityOperation(c);
        case 0xED: return Hmac(c);
        default: return {{}, 0x6D00};
    }
}

}  // namespace sim
