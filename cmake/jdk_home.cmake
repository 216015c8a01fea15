# JAVA_HOME for FindJNI and FindJava, and for the JNI headers of cross
# builds: as given (cache or environment), else the JDK that the javac on
# PATH belongs to (FindJNI alone does not find Debian's JDK).
if(NOT JAVA_HOME)
  if(NOT "$ENV{JAVA_HOME}" STREQUAL "")
    set(JAVA_HOME "$ENV{JAVA_HOME}")
  else()
    find_program(KV_JAVAC javac REQUIRED)
    file(REAL_PATH "${KV_JAVAC}" kv_javac_file)
    cmake_path(GET kv_javac_file PARENT_PATH kv_jdk_bin)
    cmake_path(GET kv_jdk_bin PARENT_PATH JAVA_HOME)
  endif()
endif()
