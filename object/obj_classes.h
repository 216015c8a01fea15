// The object classes: each differs only in its attribute rule.
#ifndef KV_OBJECT_OBJ_CLASSES_H
#define KV_OBJECT_OBJ_CLASSES_H

#include "iobj.h"

class ObjStorage : public IObj {
public:
    CK_RV CheckAttributes() override;
};

class ObjData : public ObjStorage {
public:
    CK_RV CheckAttributes() override;
};

class ObjCert : public ObjStorage {
public:
    CK_RV CheckAttributes() override;
};

class ObjCertX509pubk : public ObjCert {
public:
    CK_RV CheckAttributes() override;
};

class ObjKey : public ObjStorage {
public:
    CK_RV CheckAttributes() override;
};

class ObjKeyPublic : public ObjKey {
public:
    CK_RV CheckAttributes() override;

protected:
    // The four flags the public-key rule requires.
    void PublicDefaults(bool encrypt, bool verify, bool verifyRecover, bool wrap);
};

class ObjKeyPrivate : public ObjKey {
public:
    CK_RV CheckAttributes() override;

protected:
    // The eight flags the private-key rule requires, in the table's order.
    void PrivateDefaults(bool sensitive, bool decrypt, bool sign, bool signRecover, bool unwrap, bool extractable,
                         bool alwaysSensitive, bool neverExtractable);
};

class ObjKeySecret : public ObjKey {
public:
    CK_RV CheckAttributes() override;
};

#define KV_OBJ_LEAF(Name, Parent)            \
    class Name : public Parent {             \
    public:                                  \
        CK_RV CheckAttributes() override;    \
    };

KV_OBJ_LEAF(ObjKeyPublicRSA, ObjKeyPublic)
KV_OBJ_LEAF(ObjKeyPublicEC, ObjKeyPublic)
KV_OBJ_LEAF(ObjKeyPublicDH, ObjKeyPublic)
KV_OBJ_LEAF(ObjKeyPrivateRSA, ObjKeyPrivate)
KV_OBJ_LEAF(ObjKeyPrivateEC, ObjKeyPrivate)
KV_OBJ_LEAF(ObjKeyPrivateDH, ObjKeyPrivate)
KV_OBJ_LEAF(ObjKeySecretGeneric, ObjKeySecret)
KV_OBJ_LEAF(ObjKeySecretRC2, ObjKeySecret)
KV_OBJ_LEAF(ObjKeySecretRC4, ObjKeySecret)
KV_OBJ_LEAF(ObjKeySecretDES, ObjKeySecret)
KV_OBJ_LEAF(ObjKeySecret3DES, ObjKeySecret)
KV_OBJ_LEAF(ObjKeySecretAES, ObjKeySecret)
#undef KV_OBJ_LEAF

#endif
