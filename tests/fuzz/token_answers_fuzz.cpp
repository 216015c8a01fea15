// The token's answers as the token object reads them: GET DATA 81
// (identification), 82 (memory), 83 (version), 85 (mechanisms) and 86
// (configuration), the FCI of SELECT, READ BINARY blocks, the file list,
// random bytes, PIN and retry-counter answers, and the token information
// file read through the file system and its cache.
//
// Input: one stream read in order. The connection takes the first answers
// (GET CHALLENGE, GET DATA 86, SELECT of the application, GET DATA 81); then
// an operation byte, that operation's numbers, the answers its commands take,
// the next operation byte, and so on. Every answer is a frame: data || SW1 SW2.
#include "auth_manager_tarn.h"
#include "disk_mirror.h"
#include "scratch_dir.h"
#include "scripted_device.h"
#include "token_tarn.h"
#include "token_wiring.h"

namespace {

using kvfuzz::Bytes;
using kvfuzz::FuzzInput;

uint32_t Ref(FuzzInput& in) { return in.Bit() ? kRefSo : kRefUser; }

void Pin(CTokenTarn& token, IAuthManager& auth, FuzzInput& in, uint8_t op) {
    const uint32_t ref = Ref(in);
    uint8_t tries = 0;
    uint32_t count = 0;
    Bytes oldValue = in.Take(24), newValue = in.Take(24);
    oldValue.resize(24, 0);
    newValue.resize(24, 0);
    switch (op) {
        case 0:
            token.VerifyPIN(ref, oldValue.data(), 8);
            break;
        case 1:
            token.ChangePIN(ref, oldValue.data(), 24, newValue.data(), 24);
            break;
        case 2:
            token.GetPinLeftTries(ref, &tries);
            token.GetPinMaxTries(ref, &tries);
            break;
        case 3:
            auth.Authenticate(ref, oldValue.data(), 24);
            break;
        case 4:
            auth.ChangeAuthenticator(ref, oldValue.data(), 24, newValue.data(), 24);
            break;
        case 5:
            auth.UnblockAuthenticator(ref, newValue.data(), 16);
            break;
        case 6:
            auth.GetAuthMaxTries(ref, &count);
            auth.GetAuthLeftTries(ref, &count);
            break;
        default:
            token.SetTries(ref, in.Byte() % 16, in.Byte() % 16);
            break;
    }
}

void Operate(CTokenTarn& token, FuzzInput& in, uint8_t op) {
    uint8_t small[64];
    uint32_t value = 0;
    switch (op % 16) {
        case 0:
            token.GetSerialNumber(small, sizeof small);
            token.GetFreePublicSize(&value);
            break;
        case 1: {
            CK_ULONG count = 0;
            if (token.GetMechanismList(nullptr, &count) == 0) {
                std::vector<CK_MECHANISM_TYPE> list(count);
                token.GetMechanismList(list.data(), &count);
            }
            break;
        }
        case 2: {
            CK_MECHANISM_INFO info;
            token.GetMechanismInfo(in.U32(), &info);
            token.IsHardwareSupportAlg(in.U32());
            break;
        }
        case 3: {
            uint32_t list[256];
            value = in.Byte();
            token.GetMechanismHW(list, &value);
            break;
        }
        case 4:
            token.GetFileSize(in.U16(), &value);
            break;
        case 5: {
            const uint16_t fid = in.U16();
            const uint32_t offset = in.U16(), length = in.U16() % 2048;
            Bytes buffer(length);
            token.ReadBinary(fid, buffer.data(), offset, length, &value);
            break;
        }
        case 6: {
            const uint16_t fid = in.U16();
            const uint32_t offset = in.U16();
            const Bytes data = in.Frame();
            token.WriteBinary(fid, offset, data.data(), static_cast<uint32_t>(data.size()), &value);
            break;
        }
        case 7: {
            std::vector<uint16_t> list;
            token.GetFileList(list);
            token.GetWriteCount(&value);
            break;
        }
        case 8: {
            Bytes buffer(in.Byte());
            token.GenerateRandom(buffer.data(), static_cast<uint32_t>(buffer.size()));
            break;
        }
        case 9: {
            CK_TOKEN_INFO info;
            token.GetTokenInfo(&info);
            break;
        }
        case 10: {
            const uint8_t tag = in.Byte();
            uint8_t answer[2048];
            value = sizeof answer;
            token.cmdGetData(tag, answer, &value);
            break;
        }
        case 11:
            token.GetTimeOut(&value);
            token.GetTokenInfoFlag(&value);
            break;
        case 12:
            token.SetTokenInfoLabel(reinterpret_cast<const uint8_t*>("Fuzzed token label"));
            break;
        case 13:
            token.ClearStore();  // the storage objects load again on next use
            break;
        default:
            Pin(token, *token.GetAuthManager(), in, in.Byte() % 8);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::EmptyScratchDir();
    DiskMirror::SetBase(kvfuzz::ScratchDir());
    FuzzInput in(data, size);
    CTokenTarn token{SlotTokenParts()};
    token.SetDev(new kvfuzz::ScriptedDevice(in));
    token.Init(token.GetDev());
    token.ConnectAndSetenv();
    for (int steps = 0; steps < 48 && !in.Empty(); ++steps) Operate(token, in, in.Byte());
    return 0;
}
