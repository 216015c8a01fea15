#include "array_copy.h"

#include "java_exceptions.h"

namespace arraycopy {

void ThrowOutOfBounds(JNIEnv* env) {
    if (!Pending(env)) ThrowRuntime(env, "A copy between Java and native memory does not fit its buffers.");
}

}  // namespace arraycopy
