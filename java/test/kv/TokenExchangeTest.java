package kv;

import com.qomlex.monitor.JniCallBack;

/**
 * Exchanges CCID-framed APDUs with the virtual token through the callback
 * stand-in. Exits non-zero on the first failed check.
 */
public final class TokenExchangeTest {
    private static int failures;
    private static int passes;

    private static void check(boolean ok, String what) {
        if (ok) {
            passes++;
        } else {
            failures++;
            System.out.println("FAILED: " + what);
        }
    }

    private static byte[] xfrBlock(byte[] apdu, int seq) {
        byte[] m = new byte[10 + apdu.length];
        m[0] = 0x6F;
        m[1] = (byte) apdu.length;
        m[6] = (byte) seq;
        System.arraycopy(apdu, 0, m, 10, apdu.length);
        return m;
    }

    private static byte[] hex(String s) {
        byte[] b = new byte[s.length() / 2];
        for (int i = 0; i < b.length; i++) b[i] = (byte) Integer.parseInt(s.substring(2 * i, 2 * i + 2), 16);
        return b;
    }

    private static String sw(byte[] answer) {
        return String.format("%02X%02X", answer[answer.length - 2], answer[answer.length - 1]);
    }

    public static void main(String[] args) {
        check(JniCallBack.getidVendor() == 0x2F1A, "vendor id");
        check(JniCallBack.getidProduct() == 0x0501, "product id");

        byte[] msg = xfrBlock(hex("00CA018600"), 0);
        check(JniCallBack.sendData(msg, msg.length) == msg.length, "send GET DATA");
        byte[] answer = JniCallBack.receiveData(2122);
        check(answer != null && answer.length == 10 + 34, "answer length");
        check(answer != null && answer[0] == (byte) 0x80 && answer[7] == 0, "data block, status 0");
        check(answer != null && sw(answer).equals("9000"), "status word 9000");
        check(answer != null && answer[10 + 20] == (byte) 0x85 && answer[10 + 21] == 0x0A, "write counter object");

        check(JniCallBack.receiveData(2122) == null, "nothing more waiting");
        check(JniCallBack.control("stats").contains("apdus=1"), "daemon counted one APDU");

        System.out.println(passes + " passed, " + failures + " failed");
        System.exit(failures == 0 ? 0 : 1);
    }
}
