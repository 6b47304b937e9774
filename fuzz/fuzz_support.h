/* fuzz_support: what the fuzz targets share: a silent debug log, a scratch directory
 * below the build's root that is removed when the process ends, small file helpers, a
 * thread count to wait on, and the real databases the dispatcher reads. */
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdio>
#include <string>

namespace quelmo_fuzz {

/* Once per process: starts the debug log and sends its lines nowhere (a fuzzer writes
 * millions of them), and ignores SIGPIPE as the daemon does. */
void quiet_process();

/* A fresh directory below the build's root, made once per process and removed with
 * everything in it when the process exits normally. */
const std::string &scratch_dir();

/* Creates a directory and its parents; aborts when it cannot. */
void make_dirs(const std::string &path);

/* Replaces the file's content; aborts when it cannot. */
void write_file(const std::string &path, const std::string &content);

/* A stream that discards what is written; opened once, never closed. */
FILE *null_stream();

/* Number of threads of this process, from /proc/self/task. */
int thread_count();

/* Aborts, naming what broke: a harness check failed, which libFuzzer reports as a crash
 * with its input. */
[[noreturn]] void fail(const char *what);

/* Builds the extension and forwarding databases of server_id at prefix + server_id +
 * suffix from the sample records: caller IDs (the global record 0 included) and rules of
 * every form the incoming worker knows. Aborts when they cannot be written. */
void build_sample_databases(const std::string &prefix, const char *server_id);

/* The dial-plan files the incoming worker reads, written at their fixed places below the
 * build's root (QUELMO_EXTERNAL_CONF, QUELMO_INTERNAL_CONF). */
void write_sample_dialplans();

}  // namespace quelmo_fuzz

#endif
