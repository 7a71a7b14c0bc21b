// The install's file steps: the check before anything is laid down, the marker of an
// install under way, the installed files given to root, the logs' folder, and the
// stored limit's folder with a limit kept aside by an uninstall put back.
#include "setup/setup.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "power/limit.h"
#include "setup/names.h"

namespace {

struct installed_file {
	const char *name;
	mode_t mode;
	int rules = any_owner; // asked of it beyond what its list asks
};

using file_list = std::vector<installed_file>;

const file_list libexec_files = {{names::program, 0755},           {names::tool, 0755},
                                 {names::install_script, 0755},    {names::uninstall_script, 0755},
                                 {names::launchd_functions, 0644}, {names::manpage, 0644}};
const file_list plists = {{names::daemon_plist, 0644}, {names::rotate_plist, 0644}};
// A kept limit with another name is refused: the name it is put back under would be
// that other file's too.
const file_list limit_files = {{names::limit, 0644}, {names::limit_kept, 0644, one_link}};
// The names the logs' folder may hold.
const file_list log_files = {{names::log, 0644},
                             {names::log_archive_0, 0644},
                             {names::log_archive_1, 0644},
                             {names::rotate_log, 0644},
                             {names::log_lock, 0600}};

std::string libexec_path()
{
	return in_prefix(names::libexec_dir);
}

// Opens and checks by `rules` the files of `list` in `dir` that are there (all must be,
// when `needed`), into *files in order (a closed place for one not there). 0, or -1 (said).
int open_files(const place &dir, const file_list &list, bool needed, int rules,
               std::vector<place> *files)
{
	files->resize(list.size());
	for (size_t i = 0; i < list.size(); i++) {
		int result =
		    open_file(dir, list[i].name, O_RDONLY, rules | list[i].rules, &(*files)[i]);
		if (result == -1 || (result == 1 && needed))
			return result == -1 ? -1 : refuse({dir / list[i].name, "is missing"});
	}
	return 0;
}

// Why the logs' folder may not keep its entry `name`, or "".
std::string stray(const std::string &name, const struct stat &st)
{
	bool ours = false;
	for (const installed_file &file : log_files)
		ours = ours || name == file.name;
	if (S_ISLNK(st.st_mode) || !S_ISREG(st.st_mode))
		return S_ISLNK(st.st_mode) ? "a symbolic link" : "not a plain file";
	if (!ours)
		return "not one of the logs";
	// Other names of root's own logs, which another account can make elsewhere, give no
	// one a way in, and the archives keep their lines.
	return st.st_uid != 0 ? "owned by uid " + std::to_string(st.st_uid) : "";
}

// The limit a kept file holds: only digits and one final newline, read as the same
// number by the program's own parser, 20..100; -1 for anything else.
int kept_limit(std::string_view text)
{
	if (text.size() < 2 || text.size() > 4 || !text.ends_with('\n'))
		return -1;
	int value = 0;
	for (char c : text.substr(0, text.size() - 1)) {
		if (c < '0' || c > '9')
			return -1;
		value = value * 10 + (c - '0');
	}
	bool valid = value >= limit_min && value <= limit_max &&
	             limit_from_text(text.data(), text.size()) == value;
	return valid ? value : -1;
}

// Up to 8 bytes of the open file (more than any limit holds), or -1.
int read_start(const place &file, std::string *text)
{
	char buffer[8];
	ssize_t n;
	while ((n = pread(file.fd, buffer, sizeof buffer, 0)) == -1 && errno == EINTR)
		;
	if (n == -1)
		return failed(file.path, "cannot be read");
	text->assign(buffer, static_cast<size_t>(n));
	return 0;
}

// Opens the limit's folder and takes the lock that the program's stores take (so that a
// setlimit meanwhile is neither overwritten nor moved aside), then opens `limit` and
// `limit.kept` when there, each checked. 0, 1 when the folder is missing, -1 (said).
int open_limit(if_missing missing, place *dir, place *lock, std::vector<place> *files)
{
	int result = open_checked(names::limit_dir, missing, dir);
	if (result == 0 && lock_file(*dir, names::limit_lock, true, lock) != 0)
		return -1;
	return result == 0 ? open_files(*dir, limit_files, false, roots, files) : result;
}

// Puts the checked kept file back over the limit, or sets it aside; 0, or -1 (said).
int restore_kept(const place &dir, const place &limit, const place &kept)
{
	std::string text, stored;
	if (read_start(kept, &text) == -1 || (limit.fd != -1 && read_start(limit, &stored) == -1))
		return -1;
	int value = kept_limit(text);
	// Only the 100 that a stopped uninstall stored gives way: any other was set since.
	if (value != -1 && (limit.fd == -1 || stored == "100\n")) {
		if (fchmod(kept.fd, 0644) == -1 ||
		    renameat(dir.fd, names::limit_kept, dir.fd, names::limit) == -1)
			return failed(kept.path, "cannot be put back");
		return say("putting the stored limit " + std::to_string(value) + ", kept in " +
		           kept.path + ", back");
	}
	std::string aside;
	int there = 1;
	for (int n = 1; there == 1; n++) {
		aside = names::limit_refused + std::to_string(n);
		there = present(dir, aside.c_str());
	}
	if (there == -1)
		return failed(dir / aside.c_str(), "cannot be examined");
	if (renameat(dir.fd, names::limit_kept, dir.fd, aside.c_str()) == -1)
		return failed(kept.path, "cannot be set aside");
	return say((value == -1 ? kept.path + " holds no limit from 20 to 100"
	                        : kept.path + " keeps " + std::to_string(value) +
	                              ", but a limit was stored since") +
	           ": the stored limit stays as it is, and the kept file is set aside as " +
	           dir / aside.c_str());
}

} // namespace

int list_logs(const place &logs, log_entries *entries)
{
	std::vector<std::string> listed;
	if (list_folder(logs, &listed) == -1)
		return -1;
	for (const std::string &name : listed) {
		struct stat st;
		if (fstatat(logs.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == -1)
			return failed(logs / name.c_str(), "cannot be examined");
		if (S_ISDIR(st.st_mode))
			return refuse(
			    {logs / name.c_str(), "is a folder, not one of the logs: remove it"});
		entries->emplace_back(name, stray(name, st));
	}
	return 0;
}

int setup_preflight()
{
	struct {
		std::string folder;
		const file_list &files;
	} folders[] = {{libexec_path(), libexec_files},
	               {names::launchdaemons_dir, plists},
	               {names::limit_dir, limit_files},
	               {names::log_dir, log_files}};
	for (const auto &each : folders) {
		place dir;
		std::vector<place> files;
		// A folder not there yet ends its walk: the installer makes it.
		int result = open_checked(each.folder, quiet_missing, &dir);
		if (result == -1 ||
		    (result == 0 && open_files(dir, each.files, false, any_owner, &files) == -1))
			return -1;
	}
	printf("preflight: the folders of %s, %s, %s and %s are root's alone\n",
	       shown(libexec_path()).c_str(), shown(names::launchdaemons_dir).c_str(),
	       shown(names::limit_parent).c_str(),
	       shown(std::string(names::log_dir, names::log_parent_length)).c_str());
	return 0;
}

int setup_begin()
{
	place dir, marker;
	if (open_checked(libexec_path(), refuse_missing, &dir) != 0)
		return -1;
	int result = open_or_make(dir, names::unfinished, O_RDONLY, roots, 0644, &marker);
	if (result == 0)
		printf("install.sh: found a half-finished install (an earlier run was stopped "
		       "before its end, %s): this run puts everything right\n",
		       marker.path.c_str());
	return result == -1 ? -1 : 0;
}

int setup_finish()
{
	place dir;
	if (open_checked(libexec_path(), refuse_missing, &dir) != 0)
		return -1;
	// Quietly: the marker is the install's own bookkeeping.
	if (unlinkat(dir.fd, names::unfinished, 0) == -1 && errno != ENOENT)
		return failed(dir / names::unfinished, "cannot be removed");
	return 0;
}

int setup_own()
{
	place libexec, daemons;
	std::vector<place> in_libexec, in_daemons;
	if (open_checked(libexec_path(), refuse_missing, &libexec) != 0 ||
	    open_checked(names::launchdaemons_dir, refuse_missing, &daemons) != 0 ||
	    open_files(libexec, libexec_files, true, any_owner, &in_libexec) == -1 ||
	    open_files(daemons, plists, true, any_owner, &in_daemons) == -1 ||
	    set_owner_mode(libexec, 0755, true) == -1)
		return -1;
	for (const auto &[files, list] :
	     {std::pair{&in_libexec, &libexec_files}, {&in_daemons, &plists}})
		for (size_t i = 0; i < files->size(); i++)
			if (set_owner_mode((*files)[i], (*list)[i].mode, true) == -1)
				return -1;
	return 0;
}

int setup_logs()
{
	place logs, lock;
	log_entries entries;
	if (open_checked(names::log_dir, make_missing, &logs) != 0 ||
	    set_owner_mode(logs, 0755, false) == -1 ||
	    lock_file(logs, names::log_lock, true, &lock) == -1 || list_logs(logs, &entries) == -1)
		return -1;
	for (const auto &[name, why] : entries) {
		if (why.empty())
			continue;
		if (unlinkat(logs.fd, name.c_str(), 0) == -1)
			return failed(logs / name.c_str(), "cannot be removed");
		say(logs / name.c_str() + ": removed (" + why + ")");
	}
	// The logs launchd opens, made here so that they have their owner and mode at once.
	for (const char *name : {names::log, names::rotate_log}) {
		place log;
		int result = open_or_make(logs, name, O_RDONLY, roots, 0644, &log);
		if (result == -1 || (result == 0 && set_owner_mode(log, 0644, false) == -1))
			return -1;
		if (result == 1)
			say(log.path + ": made, root:wheel 0644");
	}
	return 0;
}

int setup_limit(bool restore_only)
{
	place dir, lock;
	std::vector<place> files;
	// A folder made here is wheel's: setlimit's would take its parent's group.
	int result = open_limit(restore_only ? quiet_missing : make_missing, &dir, &lock, &files);
	if (result != 0)
		return result == 1 ? 0 : -1; // no folder: nothing was kept
	if (!restore_only && (set_owner_mode(dir, 0755, false) == -1 ||
	                      (files[0].fd != -1 && set_owner_mode(files[0], 0644, false) == -1)))
		return -1;
	return files[1].fd != -1 && restore_kept(dir, files[0], files[1]) == -1 ? -1 : 0;
}

int setup_limit_keep()
{
	place dir, lock;
	std::vector<place> files;
	int result = open_limit(quiet_missing, &dir, &lock, &files);
	if (result == -1)
		return -1;
	if (result == 1 || files[0].fd == -1)
		return note("no limit is stored");
	if (files[1].fd != -1)
		return refuse({files[1].path,
		               "is there already, a limit an earlier run kept: run install.sh, "
		               "which puts it back"});
	if (renameat(dir.fd, names::limit, dir.fd, names::limit_kept) == -1)
		return failed(files[0].path, "cannot be renamed");
	return say(files[0].path + ": kept as " + dir / names::limit_kept);
}

int setup_limit_forget()
{
	place dir, lock;
	std::vector<place> files;
	int result = open_limit(quiet_missing, &dir, &lock, &files);
	if (result == 1)
		note(shown(names::limit_dir) + "/" + names::limit + ": not there");
	return result == -1 || (result == 0 && remove_name(dir, names::limit, false) == -1) ? -1
	                                                                                    : 0;
}
