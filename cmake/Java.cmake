# The JDK: javac for the test director, jni.h for the native libraries, and
# the Java runtime library that tests load into their own Java VM.
find_package(Java 17 REQUIRED COMPONENTS Development)
include(UseJava)

# The JDK that javac belongs to, so headers, runtime and compiler match.
get_filename_component(_tavro_javac "${Java_JAVAC_EXECUTABLE}" REALPATH)
get_filename_component(TAVRO_JDK_HOME "${_tavro_javac}" DIRECTORY)
get_filename_component(TAVRO_JDK_HOME "${TAVRO_JDK_HOME}" DIRECTORY)
find_path(TAVRO_JNI_INCLUDE jni.h PATHS "${TAVRO_JDK_HOME}/include" NO_DEFAULT_PATH REQUIRED)
find_library(TAVRO_LIBJVM jvm PATHS "${TAVRO_JDK_HOME}/lib/server" NO_DEFAULT_PATH REQUIRED)

# Headers only: native libraries never link against the Java VM.
add_library(tavro_jni INTERFACE)
target_include_directories(tavro_jni INTERFACE "${TAVRO_JNI_INCLUDE}" "${TAVRO_JNI_INCLUDE}/linux")
