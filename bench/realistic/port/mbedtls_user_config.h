/* mbed TLS in its default configuration, less what needs an operating system
 * (sockets, files, the OS clock and entropy services) or an x86 CPU; entropy
 * comes from the chip's random number generator (app/app_main.c). */
#undef MBEDTLS_NET_C
#undef MBEDTLS_TIMING_C
#undef MBEDTLS_FS_IO
#undef MBEDTLS_PSA_ITS_FILE_C
#undef MBEDTLS_PSA_CRYPTO_STORAGE_C
#undef MBEDTLS_AESNI_C
#undef MBEDTLS_PADLOCK_C
#define MBEDTLS_NO_PLATFORM_ENTROPY
#define MBEDTLS_ENTROPY_HARDWARE_ALT
