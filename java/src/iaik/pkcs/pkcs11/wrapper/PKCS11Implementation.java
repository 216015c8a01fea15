package iaik.pkcs.pkcs11.wrapper;

import java.io.IOException;

/**
 * One connection to a PKCS#11 module given by its file path. Each native
 * forwards one PKCS#11 call to that module; a status other than CKR_OK
 * becomes a PKCS11Exception carrying it.
 *
 * The natives live in the library named by the system property
 * "iaik.pkcs.pkcs11.wrapper.library" (a full path), else in "kvp11" on the
 * library path. Setting the property to the empty string loads nothing (the
 * natives were registered by the embedding program).
 */
public class PKCS11Implementation {
    public static final String LIBRARY_PROPERTY = "iaik.pkcs.pkcs11.wrapper.library";

    static {
        String library = System.getProperty(LIBRARY_PROPERTY);
        if (library == null) {
            System.loadLibrary("kvp11");
        } else if (!library.isEmpty()) {
            System.load(library);
        }
        initializeLibrary();
    }

    /** Connects a new object to the module at the given path. */
    public PKCS11Implementation(String pkcs11ModulePath) throws IOException {
        connect(pkcs11ModulePath);
    }

    /** Creates the lock of the module registry; done when the class is loaded. */
    public static native void initializeLibrary();

    /** Drops every registry entry and the registry's lock. */
    public static native void finalizeLibrary();

    protected native void connect(String pkcs11ModulePath) throws IOException;

    public native void disconnect();

    public native void C_Initialize(Object pInitArgs) throws PKCS11Exception;

    public native void C_Finalize(Object pReserved) throws PKCS11Exception;

    public native CK_INFO C_GetInfo() throws PKCS11Exception;

    public native long[] C_GetSlotList(boolean tokenPresent) throws PKCS11Exception;

    public native CK_SLOT_INFO C_GetSlotInfo(long slotID) throws PKCS11Exception;

    public native CK_TOKEN_INFO C_GetTokenInfo(long slotID) throws PKCS11Exception;

    public native long[] C_GetMechanismList(long slotID) throws PKCS11Exception;

    public native CK_MECHANISM_INFO C_GetMechanismInfo(long slotID, long type) throws PKCS11Exception;

    public native void C_InitToken(long slotID, char[] pPin, char[] pLabel) throws PKCS11Exception;

    public native void C_InitPIN(long hSession, char[] pPin) throws PKCS11Exception;

    public native void C_SetPIN(long hSession, char[] pOldPin, char[] pNewPin) throws PKCS11Exception;

    public native long C_OpenSession(long slotID, long flags, Object pApplication, Object notify)
            throws PKCS11Exception;

    public native void C_CloseSession(long hSession) throws PKCS11Exception;

    public native void C_CloseAllSessions(long slotID) throws PKCS11Exception;

    public native CK_SESSION_INFO C_GetSessionInfo(long hSession) throws PKCS11Exception;

    public native byte[] C_GetOperationState(long hSession) throws PKCS11Exception;

    public native void C_SetOperationState(long hSession, byte[] pOperationState, long hEncryptionKey,
            long hAuthenticationKey) throws PKCS11Exception;

    public native void C_Login(long hSession, long userType, char[] pPin) throws PKCS11Exception;

    public native void C_Logout(long hSession) throws PKCS11Exception;

    public native long C_CreateObject(long hSession, CK_ATTRIBUTE[] pTemplate) throws PKCS11Exception;

    public native long C_CopyObject(long hSession, long hObject, CK_ATTRIBUTE[] pTemplate) throws PKCS11Exception;

    public native void C_DestroyObject(long hSession, long hObject) throws PKCS11Exception;

    public native long C_GetObjectSize(long hSession, long hObject) throws PKCS11Exception;

    public native void C_GetAttributeValue(long hSession, long hObject, CK_ATTRIBUTE[] pTemplate)
            throws PKCS11Exception;

    public native void C_SetAttributeValue(long hSession, long hObject, CK_ATTRIBUTE[] pTemplate)
            throws PKCS11Exception;

    public native void C_FindObjectsInit(long hSession, CK_ATTRIBUTE[] pTemplate) throws PKCS11Exception;

    public native long[] C_FindObjects(long hSession, long ulMaxObjectCount) throws PKCS11Exception;

    public native void C_FindObjectsFinal(long hSession) throws PKCS11Exception;

    public native void C_EncryptInit(long hSession, CK_MECHANISM pMechanism, long hKey) throws PKCS11Exception;

    public native byte[] C_Encrypt(long hSession, byte[] pData) throws PKCS11Exception;

    public native byte[] C_EncryptUpdate(long hSession, byte[] pPart) throws PKCS11Exception;

    public native byte[] C_EncryptFinal(long hSession) throws PKCS11Exception;

    public native void C_DecryptInit(long hSession, CK_MECHANISM pMechanism, long hKey) throws PKCS11Exception;

    public native byte[] C_Decrypt(long hSession, byte[] pEncryptedData) throws PKCS11Exception;

    public native byte[] C_DecryptUpdate(long hSession, byte[] pEncryptedPart) throws PKCS11Exception;

    public native byte[] C_DecryptFinal(long hSession) throws PKCS11Exception;

    public native void C_DigestInit(long hSession, CK_MECHANISM pMechanism) throws PKCS11Exception;

    public native byte[] C_Digest(long hSession, byte[] pData) throws PKCS11Exception;

    public native void C_DigestUpdate(long hSession, byte[] pPart) throws PKCS11Exception;

    public native void C_DigestKey(long hSession, long hKey) throws PKCS11Exception;

    public native byte[] C_DigestFinal(long hSession) throws PKCS11Exception;

    public native void C_SignInit(long hSession, CK_MECHANISM pMechanism, long hKey) throws PKCS11Exception;

    public native byte[] C_Sign(long hSession, byte[] pData) throws PKCS11Exception;

    public native void C_SignUpdate(long hSession, byte[] pPart) throws PKCS11Exception;

    public native byte[] C_SignFinal(long hSession) throws PKCS11Exception;

    public native void C_SignRecoverInit(long hSession, CK_MECHANISM pMechanism, long hKey) throws PKCS11Exception;

    public native byte[] C_SignRecover(long hSession, byte[] pData) throws PKCS11Exception;

    public native void C_VerifyInit(long hSession, CK_MECHANISM pMechanism, long hKey) throws PKCS11Exception;

    public native void C_Verify(long hSession, byte[] pData, byte[] pSignature) throws PKCS11Exception;

    public native void C_VerifyUpdate(long hSession, byte[] pPart) throws PKCS11Exception;

    public native void C_VerifyFinal(long hSession, byte[] pSignature) throws PKCS11Exception;

    public native void C_VerifyRecoverInit(long hSession, CK_MECHANISM pMechanism, long hKey)
            throws PKCS11Exception;

    public native byte[] C_VerifyRecover(long hSession, byte[] pSignature) throws PKCS11Exception;

    public native byte[] C_DigestEncryptUpdate(long hSession, byte[] pPart) throws PKCS11Exception;

    public native byte[] C_DecryptDigestUpdate(long hSession, byte[] pEncryptedPart) throws PKCS11Exception;

    public native byte[] C_SignEncryptUpdate(long hSession, byte[] pPart) throws PKCS11Exception;

    public native byte[] C_DecryptVerifyUpdate(long hSession, byte[] pEncryptedPart) throws PKCS11Exception;

    public native long C_GenerateKey(long hSession, CK_MECHANISM pMechanism, CK_ATTRIBUTE[] pTemplate)
            throws PKCS11Exception;

    public native long[] C_GenerateKeyPair(long hSession, CK_MECHANISM pMechanism,
            CK_ATTRIBUTE[] pPublicKeyTemplate, CK_ATTRIBUTE[] pPrivateKeyTemplate) throws PKCS11Exception;

    public native byte[] C_WrapKey(long hSession, CK_MECHANISM pMechanism, long hWrappingKey, long hKey)
            throws PKCS11Exception;

    public native long C_UnwrapKey(long hSession, CK_MECHANISM pMechanism, long hUnwrappingKey,
            byte[] pWrappedKey, CK_ATTRIBUTE[] pTemplate) throws PKCS11Exception;

    public native long C_DeriveKey(long hSession, CK_MECHANISM pMechanism, long hBaseKey, CK_ATTRIBUTE[] pTemplate)
            throws PKCS11Exception;

    public native void C_SeedRandom(long hSession, byte[] pSeed) throws PKCS11Exception;

    public native void C_GenerateRandom(long hSession, byte[] randomData) throws PKCS11Exception;

    public native void C_GetFunctionStatus(long hSession) throws PKCS11Exception;

    public native void C_CancelFunction(long hSession) throws PKCS11Exception;

    public native long C_WaitForSlotEvent(long flags, Object pReserved) throws PKCS11Exception;
}
