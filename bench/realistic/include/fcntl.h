/* Declarations only. zlib's internal header includes this for its file functions,
 * which the bench image leaves out (there is no file system). */
#ifndef BENCH_FCNTL_H
#define BENCH_FCNTL_H

#define O_RDONLY 0
#define O_WRONLY 1
#define O_RDWR 2
#define O_CREAT 0100
#define O_TRUNC 01000
#define O_APPEND 02000

#endif
