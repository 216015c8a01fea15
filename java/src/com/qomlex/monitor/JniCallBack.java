package com.qomlex.monitor;

import java.io.IOException;
import java.net.UnixDomainSocketAddress;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.SocketChannel;
import java.nio.charset.StandardCharsets;

/**
 * Stand-in for the host application's USB callback class: the four static
 * methods the native library calls, served by the virtual token daemon over
 * its Unix-domain socket: system property "kvtoken.socket", else environment
 * variable KVP11_SOCKET (as for the native library alone). With neither there
 * is no token: no socket is reached that nobody named. One connection per
 * JVM, opened on first use.
 */
public final class JniCallBack {
    private static final byte OP_VENDOR_ID = 1;
    private static final byte OP_PRODUCT_ID = 2;
    private static final byte OP_SEND = 3;
    private static final byte OP_RECEIVE = 4;
    private static final byte OP_CONTROL = 5;

    private static SocketChannel channel;

    private JniCallBack() {}

    public static int getidVendor() {
        Reply r = call(OP_VENDOR_ID, new byte[0]);
        return r == null ? -1 : r.value;
    }

    public static int getidProduct() {
        Reply r = call(OP_PRODUCT_ID, new byte[0]);
        return r == null ? -1 : r.value;
    }

    public static int sendData(byte[] data, int length) {
        byte[] message = new byte[Math.max(0, Math.min(length, data.length))];
        System.arraycopy(data, 0, message, 0, message.length);
        Reply r = call(OP_SEND, message);
        return r == null ? -1 : r.value;
    }

    public static byte[] receiveData(int maxLength) {
        byte[] capacity = ByteBuffer.allocate(4).order(ByteOrder.LITTLE_ENDIAN).putInt(maxLength).array();
        Reply r = call(OP_RECEIVE, capacity);
        return r == null || r.value < 0 ? null : r.payload;
    }

    /** Control interface of the virtual token (tests only). */
    public static String control(String line) {
        Reply r = call(OP_CONTROL, line.getBytes(StandardCharsets.UTF_8));
        return r == null ? null : new String(r.payload, StandardCharsets.UTF_8);
    }

    private static final class Reply {
        final int value;
        final byte[] payload;

        Reply(int value, byte[] payload) {
            this.value = value;
            this.payload = payload;
        }
    }

    private static synchronized Reply call(byte op, byte[] payload) {
        try {
            if (channel == null) {
                String path = System.getProperty("kvtoken.socket", System.getenv("KVP11_SOCKET"));
                if (path == null || path.isEmpty()) return null;
                channel = SocketChannel.open(UnixDomainSocketAddress.of(path));
            }
            ByteBuffer req = ByteBuffer.allocate(5 + payload.length).order(ByteOrder.LITTLE_ENDIAN);
            req.put(op).putInt(payload.length).put(payload).flip();
            while (req.hasRemaining()) channel.write(req);
            ByteBuffer head = readFully(8);
            int value = head.getInt();
            int n = head.getInt();
            byte[] body = new byte[n];
            readFully(n).get(body);
            return new Reply(value, body);
        } catch (IOException e) {
            channel = null;
            return null;
        }
    }

    private static ByteBuffer readFully(int n) throws IOException {
        ByteBuffer b = ByteBuffer.allocate(n).order(ByteOrder.LITTLE_ENDIAN);
        while (b.hasRemaining()) {
            if (channel.read(b) < 0) throw new IOException("closed");
        }
        b.flip();
        return b;
    }
}
