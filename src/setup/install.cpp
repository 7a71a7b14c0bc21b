// The install's file steps: the check before anything is laid down, the marker of an
// install under way, the installed files given to root, the logs' folder, and the
// stored limit's folder with a limit kept aside by an uninstall put back.
#include "setup/setup.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "power/limit.h"
#include "setup/names.h"

namespace {

struct installed_file {
	const char *name;
	mode_t mode;
};

constexpr installed_file libexec_files[] = {
    {names::program, 0755},          {names::tool, 0755},
    {names::install_script, 0755},   {names::uninstall_script, 0755},
    {names::launchd_functions, 0644}, {names::manpage, 0644},
};
constexpr installed_file plists[] = {{names::daemon_plist, 0644}, {names::rotate_plist, 0644}};

// The names the logs' folder may hold.
constexpr const char *log_names[] = {names::log, names::log_archive_0, names::log_archive_1,
                                     names::rotate_log, names::log_lock};

std::string libexec_path()
{
	return install_prefix() + "/" + names::libexec_dir;
}

// Opens the folder at `path` with its chain; a missing one is a refusal when `needed`.
// 0, 1 (missing, not needed), -1 (said).
int open_checked(const std::string &path, bool make, bool needed, place *dir)
{
	finding found;
	int result = open_chain(path, make, dir, &found);
	if (result == -1 || (result == 1 && needed))
		return refuse(found);
	return result;
}

// Checks the files of `list` in `dir` that are there (all must be, when `needed`);
// their descriptors, in order (-1 for one not there), in *fds. 0, or -1 (said).
template <size_t n>
int check_files(const place &dir, const installed_file (&list)[n], bool needed, std::vector<int> *fds)
{
	for (const installed_file &file : list) {
		finding found;
		int fd = -1;
		int result = open_file(dir, file.name, O_RDONLY, false, &fd, &found);
		if (result == 1 && needed)
			found = {dir.path + "/" + file.name, "is missing"};
		if (result == -1 || (result == 1 && needed)) {
			for (int open : *fds)
				if (open != -1)
					close(open);
			return refuse(found);
		}
		fds->push_back(fd);
	}
	return 0;
}

void close_all(std::vector<int> *fds)
{
	for (int fd : *fds)
		if (fd != -1)
			close(fd);
	fds->clear();
}

// Why the log folder's entry `name` may not stay, or "" when it may.
std::string stray(const char *name, const struct stat &st)
{
	bool ours = false;
	for (const char *known : log_names)
		ours = ours || std::string_view(known) == name;
	if (S_ISLNK(st.st_mode))
		return "a symbolic link";
	if (!S_ISREG(st.st_mode))
		return "not a plain file";
	if (!ours)
		return "not one of the logs";
	if (st.st_uid != 0)
		return "owned by uid " + std::to_string(st.st_uid);
	if (st.st_nlink != 1)
		return std::to_string(st.st_nlink) + " hard links";
	return "";
}

// The limit that the bytes of a kept file hold: only digits and one final newline, and
// the same number for the program's own parser, 20..100; -1 for anything else.
int kept_limit(const char *text, size_t size)
{
	if (size < 2 || size > 4 || text[size - 1] != '\n')
		return -1;
	int value = 0;
	for (size_t i = 0; i + 1 < size; i++) {
		if (text[i] < '0' || text[i] > '9')
			return -1;
		value = value * 10 + (text[i] - '0');
	}
	if (value < limit_min || value > limit_max || limit_from_text(text, size) != value)
		return -1;
	return value;
}

// Up to `size` bytes of the open file; the count, or -1.
ssize_t read_some(int fd, char *buffer, size_t size)
{
	size_t got = 0;
	while (got < size) {
		ssize_t n = pread(fd, buffer + got, size - got, static_cast<off_t>(got));
		if (n == -1 && errno == EINTR)
			continue;
		if (n == -1)
			return -1;
		if (n == 0)
			break;
		got += static_cast<size_t>(n);
	}
	return static_cast<ssize_t>(got);
}

// Opens the limit's folder (not made), `limit` and `limit.kept` in it, each checked.
// 0, 1 when the folder is missing, -1 (said).
int open_limit_folder(place *dir, int *limit, int *kept)
{
	place parent;
	int result = open_checked(names::limit_parent, false, true, &parent);
	if (result != 0)
		return -1;
	finding found;
	result = open_folder(parent, names::limit_folder, false, dir, &found);
	close_place(&parent);
	if (result != 0)
		return result == 1 ? 1 : refuse(found);
	*limit = *kept = -1;
	const char *files[] = {names::limit, names::limit_kept};
	int *fds[] = {limit, kept};
	for (int i = 0; i < 2; i++)
		if (open_file(*dir, files[i], O_RDONLY, true, fds[i], &found) == -1) {
			if (*limit != -1)
				close(*limit);
			close_place(dir);
			return refuse(found);
		}
	return 0;
}

// Puts the checked kept file back over the limit, or sets it aside; 0, or -1 (said).
int restore_kept(const place &dir, int limit, int kept)
{
	std::string kept_path = dir.path + "/" + names::limit_kept;
	char text[8];
	ssize_t size = read_some(kept, text, sizeof text);
	if (size == -1)
		return failed(kept_path, "cannot be read");
	int value = kept_limit(text, static_cast<size_t>(size));
	char stored[8];
	ssize_t stored_size = limit == -1 ? 0 : read_some(limit, stored, sizeof stored);
	if (stored_size == -1)
		return failed(dir.path + "/" + names::limit, "cannot be read");
	// Only the 100 that a stopped uninstall stored gives way: any other was set since.
	bool stopped = limit == -1 || std::string_view(stored, static_cast<size_t>(stored_size)) == "100\n";
	if (value != -1 && stopped) {
		if (fchmod(kept, 0644) == -1)
			return failed(kept_path, "cannot be made readable");
		if (renameat(dir.fd, names::limit_kept, dir.fd, names::limit) == -1)
			return failed(kept_path, "cannot be renamed");
		say("putting the stored limit " + std::to_string(value) + ", kept in " + kept_path + ", back");
		return 0;
	}
	std::string aside;
	for (int n = 1; aside.empty(); n++) {
		std::string name = std::string(names::limit_refused) + std::to_string(n);
		int there = present(dir, name.c_str());
		if (there == -1)
			return failed(dir.path + "/" + name, "cannot be examined");
		if (there == 0)
			aside = name;
	}
	if (renameat(dir.fd, names::limit_kept, dir.fd, aside.c_str()) == -1)
		return failed(kept_path, "cannot be set aside");
	std::string why = value == -1 ? kept_path + " holds no limit from 20 to 100 (" + std::to_string(size) + " bytes)"
	                              : "a limit was stored after " + kept_path + " kept " + std::to_string(value);
	say(why + ": the stored limit stays as it is, and the kept file is set aside as " + dir.path + "/" + aside);
	return 0;
}

} // namespace

int setup_preflight()
{
	const std::string folders[] = {libexec_path(), names::launchdaemons_dir,
	                               std::string(names::limit_parent) + "/" + names::limit_folder,
	                               std::string(names::log_parent) + "/" + names::log_folder};
	constexpr installed_file limit_files[] = {{names::limit, 0}, {names::limit_kept, 0}};
	constexpr installed_file log_files[] = {{names::log, 0}, {names::log_archive_0, 0},
	                                        {names::log_archive_1, 0}, {names::rotate_log, 0},
	                                        {names::log_lock, 0}};
	for (int i = 0; i < 4; i++) {
		place dir;
		int result = open_checked(folders[i], false, false, &dir);
		if (result == -1)
			return 1;
		if (result == 1)
			continue; // the installer makes it
		std::vector<int> fds;
		result = i == 0   ? check_files(dir, libexec_files, false, &fds)
		         : i == 1 ? check_files(dir, plists, false, &fds)
		         : i == 2 ? check_files(dir, limit_files, false, &fds)
		                  : check_files(dir, log_files, false, &fds);
		close_all(&fds);
		close_place(&dir);
		if (result == -1)
			return 1;
	}
	printf("preflight: the folders of %s, %s, %s and %s are root's alone\n",
	       shown(libexec_path()).c_str(), shown(names::launchdaemons_dir).c_str(),
	       shown(names::limit_parent).c_str(), shown(names::log_parent).c_str());
	return 0;
}

int setup_begin()
{
	place dir;
	if (open_checked(libexec_path(), false, true, &dir) != 0)
		return 1;
	finding found;
	int fd = -1;
	int result = open_file(dir, names::unfinished, O_RDONLY, true, &fd, &found);
	if (result == 0) {
		printf("install.sh: found a half-finished install (an earlier run was stopped before "
		       "its end, %s/%s): this run puts everything right\n",
		       dir.path.c_str(), names::unfinished);
		close(fd);
	} else if (result == -1) {
		refuse(found);
	} else {
		result = make_file(dir, names::unfinished, 0644, nullptr);
	}
	close_place(&dir);
	return result == -1 ? 1 : 0;
}

int setup_finish()
{
	place dir;
	if (open_checked(libexec_path(), false, true, &dir) != 0)
		return 1;
	int result = unlinkat(dir.fd, names::unfinished, 0) == -1 && errno != ENOENT
	                 ? failed(dir.path + "/" + names::unfinished, "cannot be removed")
	                 : 0;
	close_place(&dir);
	return result == -1 ? 1 : 0;
}

int setup_own()
{
	place libexec, daemons;
	std::vector<int> in_libexec, in_daemons;
	int result = open_checked(libexec_path(), false, true, &libexec);
	if (result == 0)
		result = open_checked(names::launchdaemons_dir, false, true, &daemons);
	if (result == 0)
		result = check_files(libexec, libexec_files, true, &in_libexec);
	if (result == 0)
		result = check_files(daemons, plists, true, &in_daemons);
	if (result == 0)
		result = set_owner_mode(libexec.fd, libexec.path, 0755, true);
	for (size_t i = 0; result == 0 && i < in_libexec.size(); i++)
		result = set_owner_mode(in_libexec[i], libexec.path + "/" + libexec_files[i].name,
		                        libexec_files[i].mode, true);
	for (size_t i = 0; result == 0 && i < in_daemons.size(); i++)
		result = set_owner_mode(in_daemons[i], daemons.path + "/" + plists[i].name,
		                        plists[i].mode, true);
	close_all(&in_libexec);
	close_all(&in_daemons);
	close_place(&libexec);
	close_place(&daemons);
	return result == 0 ? 0 : 1;
}

int setup_logs()
{
	place parent, logs;
	finding found;
	if (open_checked(names::log_parent, true, true, &parent) != 0)
		return 1;
	int result = open_folder(parent, names::log_folder, true, &logs, &found);
	close_place(&parent);
	if (result != 0)
		return refuse(found), 1;
	int lock = -1;
	result = set_owner_mode(logs.fd, logs.path, 0755, false);
	if (result == 0)
		result = lock_logs(logs, true, &lock);
	// Every entry is looked at before any goes: a subfolder stops the run.
	std::vector<std::pair<std::string, std::string>> strays;
	int listing_fd = result == 0 ? openat(logs.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
	DIR *listing = listing_fd != -1 ? fdopendir(listing_fd) : nullptr;
	if (result == 0 && listing == nullptr)
		result = failed(logs.path, "cannot be listed");
	while (result == 0 && listing != nullptr) {
		struct dirent *entry = readdir(listing);
		if (entry == nullptr)
			break;
		std::string name = entry->d_name;
		struct stat st;
		if (name == "." || name == "..")
			continue;
		if (fstatat(logs.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == -1)
			result = failed(logs.path + "/" + name, "cannot be examined");
		else if (S_ISDIR(st.st_mode))
			result = refuse({logs.path + "/" + name, "is a folder, not one of the logs: remove it"});
		else if (std::string why = stray(name.c_str(), st); !why.empty())
			strays.push_back({name, why});
	}
	if (listing != nullptr)
		closedir(listing);
	else if (listing_fd != -1)
		close(listing_fd);
	for (size_t i = 0; result == 0 && i < strays.size(); i++) {
		if (unlinkat(logs.fd, strays[i].first.c_str(), 0) == -1)
			result = failed(logs.path + "/" + strays[i].first, "cannot be removed");
		else
			say(logs.path + "/" + strays[i].first + ": removed (" + strays[i].second + ")");
	}
	// The logs launchd opens, made here so that they have their owner and mode at once.
	for (const char *name : {names::log, names::rotate_log}) {
		std::string path = logs.path + "/" + name;
		int fd = -1;
		int there = result == 0 ? present(logs, name) : -1;
		if (there == 0 && (result = make_file(logs, name, 0644, nullptr)) == 0)
			say(path + ": made, root:wheel 0644");
		if (there == 1 && (result = open_file(logs, name, O_RDONLY, true, &fd, &found)) == -1)
			refuse(found);
		if (fd != -1) {
			result = set_owner_mode(fd, path, 0644, false);
			close(fd);
		}
	}
	if (lock != -1)
		close(lock);
	close_place(&logs);
	return result == 0 ? 0 : 1;
}

int setup_limit(bool restore_only)
{
	place dir;
	int limit = -1, kept = -1;
	int result = open_limit_folder(&dir, &limit, &kept);
	if (result == 1 && restore_only)
		return 0; // no folder: nothing kept
	if (result == 1) {
		place parent;
		finding found;
		if (open_checked(names::limit_parent, false, true, &parent) != 0)
			return 1;
		result = open_folder(parent, names::limit_folder, true, &dir, &found);
		close_place(&parent);
		return result == 0 ? (close_place(&dir), 0) : (refuse(found), 1);
	}
	if (result == -1)
		return 1;
	if (!restore_only) {
		result = set_owner_mode(dir.fd, dir.path, 0755, false);
		if (result == 0 && limit != -1)
			result = set_owner_mode(limit, dir.path + "/" + names::limit, 0644, false);
	}
	if (result == 0 && kept != -1)
		result = restore_kept(dir, limit, kept);
	for (int fd : {limit, kept})
		if (fd != -1)
			close(fd);
	close_place(&dir);
	return result == 0 ? 0 : 1;
}

int setup_limit_keep()
{
	place dir;
	int limit = -1, kept = -1;
	int result = open_limit_folder(&dir, &limit, &kept);
	if (result == -1)
		return 1;
	std::string path = dir.path + "/" + names::limit;
	if (result == 1 || limit == -1) {
		note("no limit is stored");
		result = 0;
	} else if (kept != -1) {
		result = refuse({dir.path + "/" + names::limit_kept,
		                 "is there already, a limit an earlier run kept: run install.sh, "
		                 "which puts it back"});
	} else if (renameat(dir.fd, names::limit, dir.fd, names::limit_kept) == -1) {
		result = failed(path, "cannot be renamed");
	} else {
		say(path + ": kept as " + dir.path + "/" + names::limit_kept);
	}
	for (int fd : {limit, kept})
		if (fd != -1)
			close(fd);
	close_place(&dir);
	return result == -1 ? 1 : 0;
}

int setup_limit_forget()
{
	place dir;
	int limit = -1, kept = -1;
	int result = open_limit_folder(&dir, &limit, &kept);
	if (result == -1)
		return 1;
	std::string path = shown(std::string(names::limit_parent) + "/" + names::limit_folder + "/" + names::limit);
	if (result == 1 || limit == -1)
		note(path + ": not there");
	else
		result = remove_name(dir, names::limit, false);
	for (int fd : {limit, kept})
		if (fd != -1)
			close(fd);
	close_place(&dir);
	return result == -1 ? 1 : 0;
}
