// What every fuzz target needs: a simulated-Mac root of its own on a memory file system,
// the program's output captured per input, and a fresh SMC connection per machine.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sanitizer/common_interface_defs.h>
#include <simmac/simmac.h>

#include "smc/smc.h"

namespace fuzz {

// A finding: the harness says what differed and stops; libFuzzer keeps the input.
[[noreturn]] inline void fail(const std::string &what)
{
	fprintf(stderr, "fuzz finding: %s\n", what.c_str());
	fflush(stderr);
	abort();
}

inline void check(bool ok, const std::string &what)
{
	if (!ok)
		fail(what);
}

// The real standard error, kept for reports while the program's output is captured.
inline int report_fd = 2;

inline std::string &root_dir()
{
	static std::string root;
	return root;
}

// A fresh root under /dev/shm (so that the limit file's fsync costs nothing), exported as
// SIMMAC_ROOT and removed at exit. It has no usr/bin/pmset: a powermode that got as far
// as the exec fails there instead of replacing the fuzzer.
inline void make_root(const char *name)
{
	std::string pattern = std::string("/dev/shm/tamso-fuzz-") + name + ".XXXXXX";
	if (mkdtemp(pattern.data()) == nullptr)
		fail("cannot create a root under /dev/shm");
	chmod(pattern.c_str(), 0755);
	root_dir() = pattern;
	std::filesystem::create_directories(pattern + "/Library/Application Support");
	setenv("SIMMAC_ROOT", pattern.c_str(), 1);
	atexit([] {
		std::error_code ignored;
		std::filesystem::remove_all(root_dir(), ignored);
	});
	report_fd = dup(2);
	__sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(report_fd)));
}

inline std::string tamso_dir()
{
	return root_dir() + "/Library/Application Support/Tamso";
}

inline std::string limit_path()
{
	return tamso_dir() + "/limit";
}

inline void store_limit(const void *bytes, size_t size)
{
	mkdir(tamso_dir().c_str(), 0755);
	FILE *file = fopen(limit_path().c_str(), "wb");
	if (file == nullptr)
		fail("cannot write the limit file");
	if (size > 0)
		fwrite(bytes, 1, size, file);
	fclose(file);
}

inline void remove_limit()
{
	std::error_code ignored;
	std::filesystem::remove_all(tamso_dir(), ignored);
}

inline std::string read_file(const std::string &path)
{
	std::string text;
	FILE *file = fopen(path.c_str(), "rb");
	if (file == nullptr)
		return "<absent>";
	char buffer[4096];
	size_t n;
	while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
		text.append(buffer, n);
	fclose(file);
	return text;
}

// A new in-memory machine, and no connection left over from the last one.
inline void load_machine(const std::string &directives)
{
	if (smc_conn != 0)
		IOServiceClose(smc_conn);
	smc_conn = 0;
	simmac::load(directives);
}

struct output {
	std::string out, err;
};

// Runs `body` with standard output and standard error going to memory files.
template <typename F> output capture(F body)
{
	static int out_fd = memfd_create("stdout", 0);
	static int err_fd = memfd_create("stderr", 0);
	fflush(stdout);
	fflush(stderr);
	int saved_out = dup(1), saved_err = dup(2);
	for (int fd : {out_fd, err_fd}) {
		(void)!ftruncate(fd, 0);
		lseek(fd, 0, SEEK_SET);
	}
	dup2(out_fd, 1);
	dup2(err_fd, 2);
	body();
	fflush(stdout);
	fflush(stderr);
	dup2(saved_out, 1);
	dup2(saved_err, 2);
	close(saved_out);
	close(saved_err);
	output result;
	auto slurp = [](int fd, std::string *into) {
		char buffer[4096];
		ssize_t n;
		off_t at = 0;
		while ((n = pread(fd, buffer, sizeof buffer, at)) > 0) {
			into->append(buffer, static_cast<size_t>(n));
			at += n;
		}
	};
	slurp(out_fd, &result.out);
	slurp(err_fd, &result.err);
	return result;
}

// Printable for a finding's message.
inline std::string shown(const std::string &bytes)
{
	std::string text;
	for (unsigned char c : bytes) {
		if (c >= 0x20 && c < 0x7f && c != '\\') {
			text += static_cast<char>(c);
		} else {
			char escape[8];
			snprintf(escape, sizeof escape, "\\x%02x", c);
			text += escape;
		}
		if (text.size() > 400) {
			text += "...";
			break;
		}
	}
	return text;
}

} // namespace fuzz
