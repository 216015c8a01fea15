# The library's layers, bottom up. A source file may include the headers of
# its own layer and of the layers below it, never of a layer above: the
# build stops on such an include (cmake/check_layers.cmake), so no cycle
# can come back. A file belongs to the first layer whose patterns match it,
# so the narrow layers (the crypto backends, the object model, the
# transport, the storage contracts) are listed with their files before the
# folders they sit in.
#
# Where a folder spans two layers, it is because the design places its
# pieces so: device/ holds both the transport under the token and the slot
# that wires everything together; object/ holds both the object model under
# the store and the object managers on top of it; storage/ publishes the
# interfaces by which the token owns its cache, file system and store.
set(KV_LAYERS
  support      # PKCS#11 headers, shared types, utilities, logging
  backends     # the only files that call OpenSSL or mbed TLS
  object       # PKCS#11 objects, attributes, classes, the object factory
  contracts    # storage interfaces the token holds its parts by; the phone mirror
  transport    # the device interface, CCID framing, the Java and socket bridges
  token        # commands, secure messaging, PINs, the process lock
  storage      # file cache, file system, store, container managers
  mech         # the algorithm factory, software and token-backed mechanisms
  managers     # the object managers
  slot         # the slot, the slot manager and the wiring of the token's parts
  pkcs11       # the exported functions, sessions, operations
  jni          # the Java wrapper natives
)
set(KV_LAYER_support include/* support/*)
set(KV_LAYER_backends mech/soft/*_backend.*)
set(KV_LAYER_object object/attr_value.* object/iobj.* object/iobject_manager.h object/obj_classes.*
    object/obj_factory.*)
set(KV_LAYER_contracts storage/ifile_cache.h storage/ifile_system.h storage/istore.h storage/disk_mirror.*
    storage/file_record.* storage/acl.* storage/key_files.*)
set(KV_LAYER_transport device/kv_dev.h device/usb_bridge.h device/apdu_dev.* device/libusb_dev.* device/pcsc_dev.*
    device/jni_otg.* device/host_socket_bridge.* device/host_lock_path.*)
set(KV_LAYER_token token/*)
set(KV_LAYER_storage storage/*)
set(KV_LAYER_mech mech/*)
set(KV_LAYER_managers object/obj_mgr.*)
set(KV_LAYER_slot device/*)
set(KV_LAYER_pkcs11 pkcs11/*)
set(KV_LAYER_jni jni/*)
