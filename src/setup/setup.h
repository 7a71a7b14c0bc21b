// The install tool's shared steps: where it works, what it says, and the folders and
// files it opens. Every folder is opened from its parent without following a link and
// checked on the descriptor it was opened as; every later step names files relative to
// that descriptor, so that nothing checked by one path is used by another.
#pragma once

#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <utility>
#include <vector>

// The run's root (TAMSO_ROOT, "" for the real one) and install prefix (TAMSO_PREFIX, or
// the configured one); the path of `path` below the prefix; a path below the root as it
// is shown.
void set_places(const char *root, const char *prefix);
std::string in_prefix(const char *path);
std::string shown(const std::string &path);

// One line on standard output, indented: say() for a change, note() for what was found
// and left as it was. 0.
int say(const std::string &line);
int note(const std::string &line);

// What was found where, for a refusal.
struct finding {
	std::string path; // as shown
	std::string what; // "is a symbolic link", ...
};

// Prints "tamso-setup: PATH: WHAT; nothing changed" (or that the changes said above
// stay, or `after` when given) on standard error; -1.
int refuse(const finding &found, const char *after = nullptr);
// The same for a failed system call, with errno's text after `doing`.
int failed(const std::string &path, const char *doing, const char *after = nullptr);

// An open folder or file, closed with its holder, and its path as shown.
struct place {
	int fd = -1;
	std::string path;
	place() = default;
	place(int descriptor, std::string shown_path) : fd(descriptor), path(std::move(shown_path))
	{
	}
	place(place &&other) noexcept
	{
		*this = std::move(other);
	}
	place &operator=(place &&other) noexcept
	{
		std::swap(fd, other.fd);
		std::swap(path, other.path);
		return *this;
	}
	~place()
	{
		if (fd != -1)
			close(fd);
	}
	std::string operator/(const char *name) const; // the path of a name inside
};

// Opens the folder at `path` (absolute below the root) from the root down, each folder
// from its parent with O_DIRECTORY | O_NOFOLLOW, and checks each: a folder, root's,
// writable by no group but 0 and by no one else, no ACL entry that lets another account
// write. With `make`, a missing folder is made 0755 root:wheel (and said). 0 with *dir
// (and its parent in *parent when asked); 1 when a folder on the way is missing (*found
// names it); -1 with *found set.
int open_chain(const std::string &path, bool make, place *dir, finding *found,
               place *parent = nullptr);

// What open_checked does when a folder on the way is missing: make it (and those below
// it), refuse, or return 1, quietly or saying "PATH: not there" of the whole path.
enum if_missing { make_missing, refuse_missing, quiet_missing, say_missing };
// open_chain, with a refusal said.
int open_checked(const std::string &path, if_missing missing, place *dir, place *parent = nullptr);

// What open_file asks of a file besides being plain with no ACL entry that lets another
// account write: root's (roots); one name only, even when root's (one_link). A file
// that is not root's must have one name, or giving it to root would give its other
// name, which could be anywhere, too. A root's file in a folder root's alone may have
// others: another account can make one on a Mac's volume, and it opens nothing to
// anyone, so it stops nothing.
enum file_rules { any_owner = 0, roots = 1, one_link = 2 };

// Opens `name` in `dir` without following a link or blocking, `flags` added, and checks
// it by `rules`. 0 with *file; 1 when nothing is there; -1 after a refusal.
int open_file(const place &dir, const char *name, int flags, int rules, place *file);
// The same, but a file not there is made root:wheel `mode` (as make_file does): 1 then.
int open_or_make(const place &dir, const char *name, int flags, int rules, mode_t mode,
                 place *file);

// Gives the open file or folder root:wheel and `mode`, saying so when `always` or when
// it changed something. 0, or -1 after saying why.
int set_owner_mode(const place &it, mode_t mode, bool always);

// Makes `name` in `dir`, where nothing may be, root:wheel `mode`, opened read-write
// into *file when given. 0, or -1 after saying why.
int make_file(const place &dir, const char *name, mode_t mode, place *file = nullptr);

// Whether something (a link included) is at `name` in `dir`; -1 when it cannot be told.
int present(const place &dir, const char *name);

// Removes `name` from `dir`, saying so, or that it was not there unless `quiet`; 0, or
// -1 after saying why.
int remove_name(const place &dir, const char *name, bool quiet);

// The names in the folder, "." and ".." aside; 0, or -1 after saying why.
int list_folder(const place &dir, std::vector<std::string> *names);

// Takes the exclusive lock on the lock file `name` in `dir` (made 0600 when missing; it
// must be root's plain file), waiting for it or not. 0 with *lock; 1 when another run
// holds it and `wait` is false; -1 after saying why.
int lock_file(const place &dir, const char *name, bool wait, place *lock);

// What the locked logs' folder holds: each name, with why the logs' step removes it (""
// for a log it keeps). A folder in it is refused, as neither that step nor the uninstall
// removes one. 0, or -1 after saying why.
using log_entries = std::vector<std::pair<std::string, std::string>>;
int list_logs(const place &logs, log_entries *entries);

// The subcommands: 0 done, -1 refused or failed (said).
int setup_preflight();
int setup_begin();
int setup_finish();
int setup_own();
int setup_logs();
int setup_limit(bool restore_only);
int setup_limit_keep();
int setup_limit_forget();
int setup_link();
int setup_remove();
int setup_remove_limit(bool keep);
int setup_remove_scripts();
int setup_rotate();
