#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

Each seed is a valid exchange in the input layout that the target's source
file describes, built from the hand-worked bytes of the unit tests and the
shared wire vectors. Run it again after changing a target's input layout.
"""
import json
import os
import struct
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
VECTORS = json.load(open(os.path.join(HERE, "..", "data", "wire-vectors.json")))


def h(text):
    return bytes.fromhex(text.replace(" ", ""))


def frame(data):
    return struct.pack(">H", len(data)) + data


def frames(*items):
    return b"".join(frame(i) for i in items)


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- CCID answers -----------------------------------------------------------

def block(data, status=0, chain=0):
    return bytes([0x80]) + struct.pack("<I", len(data)) + bytes([0, 0, status, 0, chain]) + data


def ccid_answer():
    head = struct.pack(">HHB", 5, 4096, 0)
    write("ccid_answer", "data_block", head + frames(block(h("9000"))))
    write("ccid_answer", "time_extensions", head + frames(block(b"", 0x80), block(b"", 0x80), block(h("6A82"))))
    write("ccid_answer", "fetch_61xx", head + frames(block(h("CCDD6104")), block(h("AABB9000"))))
    write("ccid_answer", "chained", head + frames(block(h("0102"), 0, 1), block(h("03"), 0, 3),
                                                  block(h("04"), 0, 0x10), block(h("059000"), 0, 2)))
    write("ccid_answer", "largest_command", struct.pack(">HHB", 2102, 4096, 0) + frames(block(h("9000"))))


# --- secure messaging -------------------------------------------------------

def sm_unwrap():
    for c in VECTORS["channels"]:
        aes = c["cipher"] == "aes128"
        state = h(c["s_enc"]) + h(c["s_mac"]) + h(c["counter_after_opening"])
        answer = c["answer"]
        write("sm_unwrap", "vector_answer_" + c["cipher"],
              bytes([1 if aes else 0]) + struct.pack(">H", 4096) + state + h(answer["wrapped_data_object"]))
        write("sm_unwrap", "encrypted_fci_" + c["cipher"],
              bytes([3 if aes else 2]) + struct.pack(">H", 4096) + state + h(answer["plain_data"]) + b"\x80")
        opening = h(c["k_enc"]) + h(c["k_mac"]) + bytes(16)
        write("sm_unwrap", "opening_" + c["cipher"],
              bytes([0x11 if aes else 0x10]) + struct.pack(">H", 4096) + opening +
              h(c["initialize_update_answer_data"]))
    write("sm_unwrap", "long_form_82", bytes([0x0B]) + struct.pack(">H", 4096) + bytes(48) + bytes(300) + b"\x80")


# --- token answers ----------------------------------------------------------

OK = h("9000")


def config(counter=2, sm=0):
    d = bytearray(32)
    d[1], d[2], d[14], d[15], d[16] = 0x10, 1, 0x84, 0x01, sm
    d[20], d[21] = 0x85, 0x0A
    d[22:24] = struct.pack(">H", counter)
    return bytes(d)


def identification():
    d = bytearray(32)
    d[0], d[1] = 0x81, 0x06
    d[4:12] = h("4B56000000000001")
    d[31] = 0x88
    return bytes(d)


def fci(size):
    return h("620C8002") + struct.pack(">H", size) + h("82020100 8302 0000")


RECORDS = [  # FID, directory, name, ACL, used, allocated
    (0xFFFF, b"tkinfdir", b"", 0xD000, 0, 0),
    (0x2420, b"tkinfdir", b"tokeninfo", 0xDB00, 48, 48),
    (0xFFFF, b"pkcs11", b"", 0xD000, 0, 0),
    (0xFFFF, b"mscp", b"", 0xD000, 0, 0),
    (0x2400, b"mscp", b"cmapfile", 0xD000, 0, 3072),
    (0xFFFF, b"internal", b"", 0xD000, 0, 0),
    (0x2440, b"internal", b"containermap", 0xD000, 24, 384),
]


def record_table():
    table = b""
    for fid, d, n, acl, used, allocated in RECORDS:
        table += struct.pack("<H", fid) + d.ljust(10, b"\0") + n.ljust(12, b"\0") + struct.pack("<HHH", acl, used, allocated)
    return table.ljust(1500, b"\0")


def token_info():
    return b"Virtual Token".ljust(32, b" ") + bytes(16)


def read_answers(content):
    """SELECT, then READ BINARY in blocks of 336 bytes."""
    out = [fci(len(content)) + OK]
    for at in range(0, len(content), 336):
        out.append(content[at:at + 336] + OK)
    return out


def token_answers():
    connect = [bytes(8) + OK, config() + OK, fci(0) + OK, identification() + OK]
    mechanisms = struct.pack(">H", 2) + struct.pack(">IHHI", 0x0000, 512, 0x000F, 0x00010001) + \
        struct.pack(">IHHI", 0x1041, 192, 256, 0x00002801)
    memory = bytes([0, 0, 0, 64, 12]) + bytes(11)
    version = bytes(12) + b"\x12" + bytes(3)
    file_system = [config() + OK] + read_answers(record_table()) + read_answers(token_info())

    def seed(name, *parts):
        write("token_answers", name, b"".join(parts))

    def answers(items):
        return b"".join(frame(a) for a in items)

    base = answers(connect)
    seed("serial_memory", base, b"\x00", answers([memory + OK]))
    seed("mechanisms", base, b"\x01", answers([mechanisms + OK]), b"\x03\x10")
    seed("read_file", base, b"\x05" + struct.pack(">HHH", 0x2400, 0, 16), answers([fci(1024) + OK, bytes(16) + OK]))
    seed("file_list_counter", base, b"\x07", answers([h("24006F01") + OK, config() + OK]))
    seed("token_info", base, b"\x09", answers(file_system + [memory + OK, version + OK]))
    seed("verify_pin", base, b"\x0E\x00\x00" + bytes(48), answers([h("63C4")] + file_system))
    seed("get_data_config", base, b"\x0A\x86", answers([config() + OK]))


# --- file system ------------------------------------------------------------

NAMES = {"": 0, "pkcs11": 1, "mscp": 2, "internal": 3, "tkinfdir": 4, "cmapfile": 5, "containermap": 6,
         "prvk0001": 7, "data0001": 8, "tokeninfo": 9}


def n(name):
    return bytes([NAMES[name]])


def file_system():
    containermap = b"\x01" + bytes(383)
    token = b"\x00" + frame(record_table()) + b"\x03" + \
        struct.pack(">H", 0x2420) + frame(token_info()) + \
        struct.pack(">H", 0x2400) + frame(bytes(3072)) + \
        struct.pack(">H", 0x2440) + frame(containermap)
    write("file_system", "list_and_read", token + b"\x02" + n("") + b"\x02" + n("tkinfdir") +
          b"\x06" + n("tkinfdir") + n("tokeninfo") + b"\x08" + n("internal") + n("containermap"))
    data = bytes(range(20))
    write("file_system", "create_write_resize_delete", token +
          b"\x03" + n("pkcs11") + n("prvk0001") + struct.pack(">HHH", 20, 32, 0xD000) +
          b"\x05" + n("pkcs11") + n("prvk0001") + struct.pack(">H", 0) + frame(data) +
          b"\x06" + n("pkcs11") + n("prvk0001") +
          b"\x07" + n("pkcs11") + n("prvk0001") + struct.pack(">H", 40) + b"\x01" + frame(bytes(range(40))) +
          b"\x04" + n("pkcs11") + n("prvk0001"))
    write("file_system", "two_applications", token +
          b"\x85" + n("tkinfdir") + n("tokeninfo") + struct.pack(">H", 0) + frame(b"Other label") +
          b"\x06" + n("tkinfdir") + n("tokeninfo") +
          b"\x0B" + b"\x04" + struct.pack(">H", 0) + frame(b"Changed behind") +
          b"\x06" + n("tkinfdir") + n("tokeninfo") +
          b"\x0C\x03" + b"\x09" + n("tkinfdir") + n("tokeninfo") + struct.pack(">I", 1))
    write("file_system", "mirror_restart_fault", token +
          b"\x06" + n("tkinfdir") + n("tokeninfo") +
          b"\x0E" + b"\x04" + frame(b"Planted".ljust(48, b" ")) + b"\x01" +
          b"\x10" + b"\x06" + n("tkinfdir") + n("tokeninfo") +
          b"\x0F" + bytes([1, 1, 0, 1]) + b"\x05" + n("tkinfdir") + n("tokeninfo") + struct.pack(">H", 0) +
          frame(b"Half written") + b"\x0A\x01" + b"\x11\x00\x04")


# --- object files -----------------------------------------------------------

def attributes(pairs):
    out = b""
    for t, v in sorted(pairs):
        out += struct.pack("<II", t, len(v)) + v
    return out


def u32(v):
    return struct.pack("<I", v)


def certificate():
    with tempfile.TemporaryDirectory() as d:
        key, der = os.path.join(d, "k"), os.path.join(d, "c")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:1024", "-nodes", "-subj", "/CN=kv test",
                        "-days", "1", "-keyout", key, "-outform", "DER", "-out", der], check=True,
                       capture_output=True)
        cert = open(der, "rb").read()
        modulus = subprocess.run(["openssl", "x509", "-inform", "DER", "-in", der, "-noout", "-modulus"],
                                 check=True, capture_output=True, text=True).stdout.strip().split("=")[1]
    return cert, bytes.fromhex(modulus)


def object_file():
    cert, modulus = certificate()
    true = b"\x01"
    data = attributes([(0x0, u32(0)), (0x1, true), (0x3, b"label"), (0x10, b"app"), (0x11, b"hello")])
    pub = attributes([(0x0, u32(2)), (0x1, true), (0x100, u32(0)), (0x120, modulus), (0x122, h("010001")),
                      (0x104, true), (0x10A, true), (0x10B, true), (0x106, true)])
    prv = attributes([(0x0, u32(3)), (0x1, true), (0x2, true), (0x100, u32(0)), (0x120, modulus),
                      (0x105, true), (0x80000100, u32(0xA020))])
    crt = attributes([(0x0, u32(1)), (0x1, true), (0x80, u32(0)), (0x11, cert)])
    ec = attributes([(0x0, u32(2)), (0x1, true), (0x100, u32(3)), (0x180, h("06082A8648CE3D030107")),
                     (0x181, h("0441") + bytes(range(64)))])
    aes = attributes([(0x0, u32(4)), (0x1, true), (0x100, u32(0x1F)), (0x11, bytes(16)),
                      (0x80000100, u32(0x0511))])
    write("object_file", "data_object", frames(b"\x00" + data))
    write("object_file", "rsa_pair_and_certificate", frames(b"\x02" + pub, b"\x03" + prv, b"\x01" + crt))
    write("object_file", "ec_public_key", frames(b"\x02" + ec))
    write("object_file", "aes_key", frames(b"\x04" + aes))


# --- container maps ---------------------------------------------------------

def container_map():
    cmap = bytes(86) + ("CD".encode("utf-16-le")).ljust(80, b"\0") + h("01 00 0000 0000")
    refs = b"\x01" + bytes(23) + bytes(24) + h("00000000 00000000 20A00000 00000000") + bytes(8)
    _, modulus = certificate()
    write("container_map", "by_hand", frames(cmap, refs) + b"\x06\x05\x00\x00")
    write("container_map", "add_and_change", frames(cmap, refs) +
          b"\x02\x30" + frame(modulus) + struct.pack(">H", 0xA020) +
          b"\x02\x11" + frame(modulus) + b"\x00" + frame(b"AB") + b"\x01\x00" +
          b"\x04\x01" + frame(bytes(86 * 2)) + b"\x06")
    write("container_map", "empty_maps", frames(b"", b"\x01" + bytes(23)) + b"\x00" + frame(b"fresh") + b"\x06")


# --- virtual token ----------------------------------------------------------

CARD_COMMANDS = [
    "00A40000024E51", "00A40000022420", "00B0000000", "00B00000000150", "00D6000004 41424344",
    "00CA018100", "00CA018200", "00CA018300", "00CA018500", "00CA018600", "0084000008", "8034000000",
    "00E0000018 62168002012382020100830224608608 9096FFB8FFFFFFFF", "00E40000022460", "008201 81",
    "00E4000000", "00A40000023F00",
]


def sim_apdu():
    for i, c in enumerate(CARD_COMMANDS):
        write("sim_apdu", "card_%02d" % i, frame(b"\x00" + h(c)))
    for i, v in enumerate(VECTORS["plain_apdus"]):
        write("sim_apdu", "vector_%02d" % i, frame(b"\x00" + h(v["encoded"])))
    write("sim_apdu", "session", frames(*[b"\x00" + h(c) for c in CARD_COMMANDS[:6]]) +
          frame(b"\x01" + h("00D6000002 5A5A")) + frame(b"\x02" + h("00A40000024E51")))


def sim_create_file():
    fcp = h("62168002012382020100830224608608 9096FFB8FFFFFFFF")
    write("sim_create_file", "token_template", b"\x00" + fcp)
    write("sim_create_file", "extended_lc", b"\x01" + fcp)
    write("sim_create_file", "in_master_file", b"\x02" + fcp)
    write("sim_create_file", "card_fci_form", b"\x00" + h("620C 8002 0040 8202 0100 8302 2480"))


def sim_secure_channel():
    for c in VECTORS["channels"]:
        cipher = b"\x01" if c["cipher"] == "aes128" else b"\x00"
        plain = b""
        for cmd in c["commands_in_order"]:
            le = cmd["le"] if cmd["le"] < 256 else 0
            plain += b"\x00" + frame(bytes([cmd["cla"], cmd["ins"], cmd["p1"], cmd["p2"], le]) + h(cmd["data"]))
        write("sim_secure_channel", "vector_commands_" + c["cipher"], cipher + plain)
        write("sim_secure_channel", "vector_wrapped_" + c["cipher"],
              cipher + b"\x01" + frame(h(c["commands_in_order"][0]["wrapped"])))
    block = bytes(16)
    write("sim_secure_channel", "maced_objects", b"\x01" + b"\x02" + h("00D60000") + frame(b"\x01" + block) +
          frame(b"") + b"\x02" + h("00B00000") + frame(b"") + frame(b"\x10"))


def xfr(apdu, seq=0):
    total = len(apdu) + 10
    if total >= 64 and total % 64:
        total += 64 - total % 64
    return b"\x6F" + struct.pack("<I", total - 10) + bytes([0, seq, 0, 0, 0]) + apdu.ljust(total - 10, b"\0")


def sim_ccid_reader():
    receive = b"\x02" + struct.pack(">H", 2122)
    write("sim_ccid_reader", "get_data", b"\x01" + frame(h("00CA018600")) + receive)
    write("sim_ccid_reader", "whole_message", b"\x00" + frame(xfr(h("00A40000024E51"), 3)) + receive)
    write("sim_ccid_reader", "faults", b"\x03" + bytes([2, 2, 16, 0, 0, 0, 0]) +
          b"\x01" + frame(h("00CA018500")) + receive * 3 + b"\x01" + frame(h("000C000000")) + receive +
          b"\x00" + frame(xfr(b"")) + receive * 2)


# --- PKCS#11 calls ------------------------------------------------------------
# Indices into p11_calls_fuzz.cpp's kTypes and kMechanisms.
T = {"class": 0, "token": 1, "private": 2, "label": 3, "value": 4, "key_type": 5, "sensitive": 7,
     "encrypt": 8, "decrypt": 9, "wrap": 10, "unwrap": 11, "sign": 12, "value_len": 19, "extractable": 20,
     "ec_params": 21, "trusted": 23, "wrap_template": 25, "key_ref": 31, "array": 33}
M = {"aes_gen": 0, "ec_gen": 3, "aes_ecb": 5, "aes_cbc_pad": 7, "rsa_pkcs": 9, "ecdsa": 12}


def flag(name, on=True):
    return bytes([T[name], 0, 1 if on else 0])


def ulong(name, value):
    return bytes([T[name], 1, 20, value])


def blob(name, data):
    return bytes([T[name], 7]) + frame(data)


def template(*entries):
    return bytes([len(entries)]) + b"".join(entries)


def mechanism(name):
    return bytes([M[name], 1, 0x11])  # a 16-byte parameter of 11s


def step(op, body, data=b"", out=64):
    return frame(data) + struct.pack(">H", out) + b"\x01" + bytes([op]) + body


def p11_calls():
    aes = template(ulong("class", 4), ulong("key_type", 0x1F), ulong("value_len", 16), flag("token"))
    write("p11_calls", "secret_key_kept_hidden", b"\x00" + step(13, bytes(range(16))) +
          step(10, template(blob("value", b"\x01" + bytes(range(1, 16))))))
    write("p11_calls", "data_object", b"\x00" + step(0, template(ulong("class", 0), flag("token"),
                                                                  blob("label", b"seed"), blob("value", b"v"))))
    write("p11_calls", "aes_encrypt", b"\x00" + step(1, aes + mechanism("aes_gen")) +
          step(3, mechanism("aes_ecb") + b"\x01\x00\x00", data=bytes(32)))
    write("p11_calls", "ec_pair_sign", b"\x00" + step(2, template(blob("ec_params", h("06082A8648CE3D030107"))) +
                                                         template(flag("sign")) + b"\x01") +
          step(5, mechanism("ecdsa") + b"\x01", data=bytes(32)))
    write("p11_calls", "owned_and_array", b"\x00" + step(0, template(ulong("class", 0), ulong("key_ref", 0x20),
                                                                      blob("array", bytes(24)))) +
          step(1, template(ulong("class", 4), ulong("key_type", 0x1F), ulong("key_ref", 0x20)) + mechanism("aes_gen")))
    write("p11_calls", "wrap_template_read", b"\x00" + step(0, aes[:1].replace(bytes([4]), bytes([5])) + aes[1:] +
                                                             bytes([T["wrap_template"], 3])) +
          step(9, template(blob("wrap_template", b"")) + b"\x00"))
    write("p11_calls", "logged_out", b"\x01" + step(13, bytes(16)) + step(12, b"\x00"))


# --- Java wrapper conversions -----------------------------------------------

J_ARRAY_ATTR, J_TOKEN, J_LABEL, J_WRAP, J_UNWRAP, J_ALLOWED = 9, 1, 2, 6, 7, 10


def jni_convert():
    template, mechanism, get_attributes = b"\x42", b"\x40", b"\x41"
    # byte[] under an unknown array attribute, in a template
    write("jni_convert", "array_attribute_bytes",
          b"\x01\x03\x01\x02\x03" + bytes([0x0E, J_ARRAY_ATTR, 0]) + b"\x0F\x01\x01" + template + b"\x02")
    # nested templates that end up holding themselves, beside a plain one
    write("jni_convert", "templates_in_a_loop",
          b"\x07\x01" + bytes([0x0E, J_TOKEN, 0]) + b"\x0F\x01\x01" + bytes([0x0E, J_WRAP, 2]) +
          b"\x0F\x01\x03" + bytes([0x0E, J_UNWRAP, 4]) + b"\x10\x02\x05\x00" + b"\x0F\x02\x03\x05" +
          template + b"\x06")
    write("jni_convert", "allowed_mechanisms",
          b"\x03\x02" + struct.pack("<QQ", 0x1081, 0x1082) + bytes([0x0E, J_ALLOWED, 0]) + b"\x0F\x01\x01" +
          template + b"\x02")
    # SSL 3 key and MAC derivation: 128-bit IVs, Java IV arrays of 1 byte
    randoms = b"\x01\x01\x00" + b"\x01\x20" + bytes(32) + b"\x13\x01\x01"
    write("jni_convert", "ssl3_key_mat",
          randoms + b"\x14\x05\x00\x00" + b"\x15\x00\xA0\x00\x80\x00\x80\x02\x03" + b"\x1A\x00\x04" +
          mechanism + b"\x05\x07")
    # TLS, 64-bit IVs, no Java IV arrays
    write("jni_convert", "tls_key_mat_no_arrays",
          b"\x00" + randoms + b"\x14\x05\x00\x00" + b"\x15\x00\xA0\x00\x80\x00\x40\x03\x04" +
          b"\x1A\x01\x05" + mechanism + b"\x06\x07")
    # a template attribute read back in three passes, beside a label
    answers = (b"\x02\x02" + b"\x00\x04" + b"\x00" +
               b"\x01\x00\x05" + b"\x01\x00\x03" + b"\x01" + b"\x00\x04" + b"f" + b"\x01" + b"\x00" +
               b"\x00\x05i\x01" + b"\x00\x03j\x01" + b"\x01" + b"\x00\x04f\x01" + b"\x00")
    write("jni_convert", "template_read_back",
          b"\x00" + bytes([0x0E, J_WRAP, 0, 0x0E, J_LABEL, 0]) + b"\x0F\x02\x01\x02" + get_attributes + b"\x03" +
          frame(answers))


# --- planted mirror files ---------------------------------------------------

def planted_mirror():
    token_counter = b"\x00\x01"          # FFFF: the token's counter, so the mirror is taken
    stale_sweep = b"\x01\x00" + struct.pack(">I", 0xFFFFFFFF)   # FFFE: no clean sweep at this counter
    clean_sweep = b"\x01\x01"

    def table_edits(edits):
        return b"\x02" + bytes([len(edits)]) + b"".join(struct.pack(">HB", at, v) for at, v in edits)

    # records: 0 the directory, then data0001 (2400), data0002 (2420, as long), cert0001, pubk0001, pubk0002,
    # prvk0001
    zero_data0001 = [(30 + i, 0) for i in range(30)]
    swap_data_files = [(30, 0x20), (31, 0x24), (60, 0x00), (61, 0x24)]
    write("planted_mirror", "untouched", b"\x06\x00")
    write("planted_mirror", "record_zeroed", token_counter + stale_sweep + table_edits(zero_data0001) + b"\x06\x00")
    write("planted_mirror", "files_swapped_then_destroy",
          token_counter + clean_sweep + table_edits(swap_data_files) + b"\x06\x00")
    write("planted_mirror", "key_ref_names_the_table", token_counter + b"\x04\x03\x01\x6F\x01" + b"\x06\x03")
    write("planted_mirror", "key_ref_names_another_key", token_counter + b"\x04\x03\x01\x80\x20" + b"\x06\x03")
    write("planted_mirror", "key_ref_names_another_kind", token_counter + b"\x04\x05\x01\x80\x00" + b"\x06\x05")
    write("planted_mirror", "note_names_an_object_file",
          b"\x05" + frame(struct.pack(">HI", 0x2400, 0x3FFFFFF0) + struct.pack(">HI", 0x8000, 1)) + b"\x06\x01")
    write("planted_mirror", "garbage_table", token_counter + b"\x03" + frame(bytes(range(256)) * 6) + b"\x06\x02")


if __name__ == "__main__":
    for make in (ccid_answer, sm_unwrap, token_answers, file_system, object_file, container_map, sim_apdu,
                 sim_create_file, sim_secure_channel, sim_ccid_reader, p11_calls, jni_convert, planted_mirror):
        make()
