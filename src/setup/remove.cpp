// The links in bin and man8 that the install makes, and the uninstall's removals.
#include "setup/setup.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "setup/names.h"

namespace {

struct link_spec {
	const char *folder; // below the prefix
	const char *name;
	const char *target;
	const char *what;    // "the command", "the manual page"
	const char *instead; // the start of what to do without the link
};

const link_spec links[] = {
    {names::bin_dir, names::program, names::program_target, "the command", "run"},
    {names::man8_dir, names::manpage, names::manpage_target, "the manual page", "read it with man"},
};

std::string libexec_path()
{
	return install_prefix() + "/" + names::libexec_dir;
}

// What `name` in `dir` is, for a line that leaves it: "" when nothing is there.
std::string kind_of(int dir, const char *name, std::string *target)
{
	struct stat st;
	if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == -1)
		return "";
	if (S_ISREG(st.st_mode))
		return "file";
	if (!S_ISLNK(st.st_mode))
		return S_ISDIR(st.st_mode) ? "a folder" : "not a plain file";
	char text[4096];
	ssize_t size = readlinkat(dir, name, text, sizeof text);
	target->assign(text, size > 0 ? static_cast<size_t>(size) : 0);
	return "link";
}

// Makes one link, when its folder and every folder above it are root's alone; says why
// not, and what to do instead, when they are not. Never fails the run.
void make_link(const link_spec &spec)
{
	std::string folder = install_prefix() + "/" + spec.folder;
	std::string path = shown(folder) + "/" + spec.name;
	std::string instead = std::string(spec.instead) + " " + shown(libexec_path()) + "/" +
	                      (spec.folder == names::bin_dir ? names::program : names::manpage);
	place dir;
	finding found;
	if (open_chain(folder, true, &dir, &found) != 0) {
		// Only looked at, never changed: the folder is not root's to trust.
		struct stat st;
		bool stale = lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
		note(std::string(spec.what) + " was not linked: " + found.path + " " + found.what + "; " +
		     instead + (stale ? "; " + path + " is stale, from an earlier install" : ""));
		return;
	}
	std::string target;
	std::string kind = kind_of(dir.fd, spec.name, &target);
	if (kind.empty()) {
		if (symlinkat(spec.target, dir.fd, spec.name) == 0)
			say(path + " -> " + spec.target);
		else
			failed(path, "cannot be made");
	} else if (kind == "file") {
		// An earlier layout's copy: a link made beside it replaces it in one rename.
		std::string temporary = std::string(".") + spec.name + ".link";
		(void)unlinkat(dir.fd, temporary.c_str(), 0); // left by a run that died
		if (symlinkat(spec.target, dir.fd, temporary.c_str()) == 0 &&
		    renameat(dir.fd, temporary.c_str(), dir.fd, spec.name) == 0) {
			say(path + " -> " + spec.target + ", replacing an earlier install's copy");
		} else {
			failed(path, "cannot be replaced by a link");
			(void)unlinkat(dir.fd, temporary.c_str(), 0);
		}
	} else if (kind != "link" || target != spec.target) {
		note(path + ": left as it is (" + (kind == "link" ? "a link to " + target : kind) +
		     ", not this install's); " + instead);
	}
	close_place(&dir);
}

// Plans the removal of our link `spec` (into *dir, a folder root's alone, when it is
// there); says what is left. 0, or -1 after a refusal.
int plan_unlink(const link_spec &spec, place *dir)
{
	std::string folder = install_prefix() + "/" + spec.folder;
	std::string path = shown(folder) + "/" + spec.name;
	finding found;
	int result = open_chain(folder, false, dir, &found);
	// A folder not root's alone is only looked at: its owner may remove what is there.
	struct stat st;
	if (result == 1 || (result == -1 && lstat(path.c_str(), &st) == -1)) {
		note(path + ": not there");
		return 0;
	}
	if (result == -1) {
		note(path + ": left as it is (" + found.path + " " + found.what + ")");
		return 0;
	}
	std::string target;
	std::string kind = kind_of(dir->fd, spec.name, &target);
	if (kind == "link" && target == spec.target)
		return 0;
	if (kind.empty())
		note(path + ": not there");
	else
		note(path + ": left as it is (" + (kind == "link" ? "a link to " + target : kind == "file" ? "a file" : kind) +
		     ", not this install's link)");
	close_place(dir);
	return 0;
}

// The names in the open folder `dir`; -1 when it cannot be listed.
int list_folder(const place &dir, std::vector<std::string> *entries)
{
	int fd = openat(dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	DIR *listing = fd != -1 ? fdopendir(fd) : nullptr;
	if (listing == nullptr) {
		if (fd != -1)
			close(fd);
		return failed(dir.path, "cannot be listed");
	}
	while (struct dirent *entry = readdir(listing)) {
		std::string_view name = entry->d_name;
		if (name != "." && name != "..")
			entries->emplace_back(name);
	}
	closedir(listing);
	return 0;
}

// Removes the folder `name` from `parent` once empty; one that holds other files is
// left, and said.
int remove_folder(const place &parent, const char *name, const place &dir)
{
	if (unlinkat(parent.fd, name, AT_REMOVEDIR) == 0) {
		say(dir.path + ": removed");
		return 0;
	}
	if (errno != ENOTEMPTY && errno != EEXIST)
		return failed(dir.path, "cannot be removed");
	std::vector<std::string> left;
	if (list_folder(dir, &left) == -1)
		return -1;
	std::string names_left;
	for (const std::string &entry : left)
		names_left += (names_left.empty() ? "" : ", ") + entry;
	note(dir.path + ": left, it holds other files (" + names_left + ")");
	return 0;
}

// Opens the folder `name` below the checked chain of `parent_path`: 0 with both places,
// 1 when either is missing (said), -1 after a refusal.
int open_pair(const std::string &parent_path, const char *name, place *parent, place *dir)
{
	finding found;
	int result = open_chain(parent_path, false, parent, &found);
	if (result == 0) {
		result = open_folder(*parent, name, false, dir, &found);
		if (result != 0)
			close_place(parent);
	}
	if (result == 1)
		note(shown(parent_path) + "/" + name + ": not there");
	return result == -1 ? refuse(found) : result;
}

} // namespace

int setup_link()
{
	for (const link_spec &spec : links)
		make_link(spec);
	return 0;
}

int setup_remove()
{
	// Every folder is opened and checked, and the logs' folder locked and listed, before
	// anything goes.
	place daemons, libexec_parent, libexec, log_parent, logs, link_dirs[2];
	finding found;
	int result = open_chain(names::launchdaemons_dir, false, &daemons, &found);
	if (result == -1)
		return refuse(found), 1;
	result = open_pair(install_prefix() + "/" + names::libexec_parent, names::libexec_folder,
	                   &libexec_parent, &libexec);
	if (result != -1)
		result = open_pair(names::log_parent, names::log_folder, &log_parent, &logs);
	int lock = -1;
	std::vector<std::string> log_files;
	if (result == 0 && (result = lock_logs(logs, true, &lock)) == 0)
		result = list_folder(logs, &log_files);
	for (size_t i = 0; result != -1 && i < log_files.size(); i++) {
		struct stat st;
		if (fstatat(logs.fd, log_files[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
			result = refuse({logs.path + "/" + log_files[i], "is a folder, not one of the logs: remove it"});
	}
	for (int i = 0; result != -1 && i < 2; i++)
		result = plan_unlink(links[i], &link_dirs[i]);
	if (result != -1 && daemons.fd == -1)
		note(shown(names::launchdaemons_dir) + ": not there");
	for (const char *name : {names::daemon_plist, names::rotate_plist})
		if (result != -1 && daemons.fd != -1)
			result = remove_name(daemons, name, false);
	for (int i = 0; result != -1 && i < 2; i++)
		if (link_dirs[i].fd != -1)
			result = remove_name(link_dirs[i], links[i].name, false);
	for (const char *name : {names::program, names::manpage})
		if (result != -1 && libexec.fd != -1)
			result = remove_name(libexec, name, false);
	// The logs, the lock file last, then their folder.
	for (size_t i = 0; result != -1 && lock != -1 && i < log_files.size(); i++)
		if (log_files[i] != names::log_lock && unlinkat(logs.fd, log_files[i].c_str(), 0) == -1)
			result = failed(logs.path + "/" + log_files[i], "cannot be removed");
	if (result != -1 && lock != -1 && unlinkat(logs.fd, names::log_lock, 0) == -1)
		result = failed(logs.path + "/" + names::log_lock, "cannot be removed");
	if (result != -1 && lock != -1)
		result = remove_folder(log_parent, names::log_folder, logs);
	if (lock != -1)
		close(lock);
	for (place *dir : {&daemons, &libexec_parent, &libexec, &log_parent, &logs, &link_dirs[0], &link_dirs[1]})
		close_place(dir);
	return result == -1 ? 1 : 0;
}

int setup_remove_limit(bool keep)
{
	place parent, dir;
	int result = open_pair(names::limit_parent, names::limit_folder, &parent, &dir);
	if (result != 0)
		return result == -1 ? 1 : 0;
	int stored = present(dir, names::limit);
	if (keep && stored == 1) {
		note("keeping the stored limit, as it is");
	} else {
		if (keep)
			note("no limit is stored: nothing to keep, removing its folder");
		for (const char *name : {names::limit, names::limit_lock, names::limit_temporary})
			if (result == 0)
				result = remove_name(dir, name, name != names::limit);
		if (result == 0)
			result = remove_folder(parent, names::limit_folder, dir);
	}
	close_place(&dir);
	close_place(&parent);
	return result == -1 ? 1 : 0;
}

int setup_remove_scripts()
{
	place parent, dir;
	int result = open_pair(install_prefix() + "/" + names::libexec_parent, names::libexec_folder,
	                       &parent, &dir);
	if (result != 0)
		return result == -1 ? 1 : 0;
	for (const char *name : {names::install_script, names::uninstall_script,
	                         names::launchd_functions, names::unfinished, names::tool})
		if (result == 0)
			result = remove_name(dir, name, name == names::unfinished);
	if (result == 0)
		result = remove_folder(parent, names::libexec_folder, dir);
	close_place(&dir);
	close_place(&parent);
	return result == -1 ? 1 : 0;
}
