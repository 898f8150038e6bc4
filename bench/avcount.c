/* avcount: an LD_PRELOAD library for the conversion bench. It counts how
 * often a process opens a codec (avcodec_open2: decoders and encoders
 * apart) and a media input (avformat_open_input), and when the process
 * ends it appends one line to the file named by AVCOUNT_FILE:
 *
 *   pid=123 ppid=122 exe=/usr/bin/ffmpeg decoders=4 encoders=2 unknown=0
 *   failed=0 inputs=1 rchar=65711234 read_bytes=0
 *
 * rchar and read_bytes come from /proc/self/io at that moment. rchar is
 * every byte the process got through read() and its kin, whether the page
 * cache held it or not: "reads the file 3.7 times" is rchar over the file's
 * size. read_bytes only counts what had to come from the disk, which is
 * near zero once the bench has warmed the cache.
 *
 * Every process that inherits LD_PRELOAD and AVCOUNT_FILE writes its own
 * line, so children are counted by adding the lines up. A forked child
 * starts again from zero (its /proc/self/io does too). A process that ends
 * by _exit() or a signal writes no line; the bench counts the lines
 * against the processes it expected.
 *
 * The FFmpeg functions are found with dlsym(RTLD_NEXT): the library links
 * nothing of FFmpeg, so a process that never loads libavcodec (env, a
 * shell) is not made to. Programs that link FFmpeg statically are not
 * seen at all; the bench checks the counts it gets are not zero.
 *
 * Build: cc -O2 -shared -fPIC -o avcount.so avcount.c -ldl
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static long decoders, encoders, unknown, failed, inputs;

typedef int (*open2_fn)(void *, const void *, void **);
typedef int (*is_decoder_fn)(const void *);
typedef int (*open_input_fn)(void **, const char *, const void *, void **);

static void *next(const char *name)
{
    void *f = dlsym(RTLD_NEXT, name);
    if (!f) {
        /* Without the real function the program cannot go on; say why
         * rather than crash on a null call. */
        fprintf(stderr, "avcount: %s not found: %s\n", name, dlerror());
        abort();
    }
    return f;
}

/* avcodec_open2(AVCodecContext *, const AVCodec *, AVDictionary **). The
 * codec may be null when the context already names one; which kind it was
 * is then unknown here (that needs the structure's layout) and the open is
 * counted apart as "unknown". The stream probe inside
 * avformat_find_stream_info, ffmpeg, HandBrake and Kalvex all pass one. */
int avcodec_open2(void *avctx, const void *codec, void **options)
{
    static open2_fn real;
    static is_decoder_fn is_decoder;
    if (!real) {
        real = (open2_fn)next("avcodec_open2");
        is_decoder = (is_decoder_fn)dlsym(RTLD_DEFAULT, "av_codec_is_decoder");
    }
    int r = real(avctx, codec, options);
    if (r < 0)
        __atomic_fetch_add(&failed, 1, __ATOMIC_RELAXED);
    else if (!codec || !is_decoder)
        __atomic_fetch_add(&unknown, 1, __ATOMIC_RELAXED);
    else if (is_decoder(codec))
        __atomic_fetch_add(&decoders, 1, __ATOMIC_RELAXED);
    else
        __atomic_fetch_add(&encoders, 1, __ATOMIC_RELAXED);
    return r;
}

/* avformat_open_input(AVFormatContext **, const char *, const AVInputFormat *, AVDictionary **) */
int avformat_open_input(void **ps, const char *url, const void *fmt, void **options)
{
    static open_input_fn real;
    if (!real) real = (open_input_fn)next("avformat_open_input");
    int r = real(ps, url, fmt, options);
    if (r >= 0) __atomic_fetch_add(&inputs, 1, __ATOMIC_RELAXED);
    return r;
}

static void reset_in_child(void)
{
    decoders = encoders = unknown = failed = inputs = 0;
}

__attribute__((constructor)) static void start(void)
{
    pthread_atfork(NULL, NULL, reset_in_child);
}

/* The value of KEY in /proc/self/io, or -1. */
static long long io_field(const char *text, const char *key)
{
    size_t n = strlen(key);
    const char *p = text;
    while (p && *p) {
        if (strncmp(p, key, n) == 0 && p[n] == ':') return atoll(p + n + 1);
        p = strchr(p, '\n');
        if (p) p++;
    }
    return -1;
}

__attribute__((destructor)) static void finish(void)
{
    const char *path = getenv("AVCOUNT_FILE");
    if (!path || !*path) return;

    char io[1024] = "";
    int fd = open("/proc/self/io", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t n = read(fd, io, sizeof io - 1);
        io[n > 0 ? n : 0] = '\0';
        close(fd);
    }
    char exe[512];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[n > 0 ? n : 0] = '\0';

    char line[1024];
    int len = snprintf(line, sizeof line,
                       "pid=%d ppid=%d exe=%s decoders=%ld encoders=%ld unknown=%ld failed=%ld inputs=%ld rchar=%lld read_bytes=%lld\n",
                       (int)getpid(), (int)getppid(), exe, decoders, encoders, unknown, failed, inputs,
                       io_field(io, "rchar"), io_field(io, "read_bytes"));
    if (len <= 0) return;
    if (len >= (int)sizeof line) len = sizeof line - 1;
    /* One write with O_APPEND: lines of processes ending together do not mix. */
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, line, (size_t)len) != len) { /* nothing better to do at exit */ }
    close(fd);
}
