// Block-cipher modes on the multi-part engine: the buffering and padding of
// ECB, CBC and CBC with PKCS#5 padding. A concrete cipher combines one mode
// with a key-holding class that supplies the block transform.
#ifndef KV_MECH_SOFT_CIPHER_MODES_H
#define KV_MECH_SOFT_CIPHER_MODES_H

#include "alg.h"

class ECB : public AlgMultiPart {};

class CBC : public AlgMultiPart {
public:
    ~CBC() override;

protected:
    static constexpr uint32_t kIVAreaSize = 256;
    // Zeroes the IV area and copies the IV parameter into it: at least one
    // block (the cipher uses the first block) and at most the area, else
    // CKR_MECHANISM_PARAM_INVALID.
    CK_RV SetIV(const void* param, CK_ULONG len);

    uint8_t iv_[kIVAreaSize] = {};
};

// Encryption pads on the call that produces the last output; decryption
// holds the last block back until Final, where the padding is checked.
class CBCPAD : public CBC {
public:
    CBCPAD() { holdLastBlock_ = true; }
    CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) override;
    CK_RV Final(uint8_t* out, uint32_t* outLen) override;

private:
    CK_RV EncryptDo(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen);
    CK_RV DecryptDo(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen);
    // The queued bytes plus extra, padded; false when that passes 32 bits.
    bool PaddedLength(uint32_t extra, uint32_t* padded);
};

#endif
