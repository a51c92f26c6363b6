# Cross-compiling for 64-bit ARM with Debian's aarch64-linux-gnu toolchain
# and its arm64 OpenSSL, for running the determinism table under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr/lib/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(OPENSSL_INCLUDE_DIR /usr/include)
set(OPENSSL_CRYPTO_LIBRARY /usr/lib/aarch64-linux-gnu/libcrypto.a)
set(OPENSSL_USE_STATIC_LIBS TRUE)
# Static, so qemu-user needs no arm64 loader or libraries at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
