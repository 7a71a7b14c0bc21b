// The links in bin and man8 that the install makes, and the uninstall's removals.
#include "setup/setup.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "setup/names.h"

namespace {

struct link_entry {
	const char *folder; // below the prefix
	const char *name;
	const char *target;
	const char *what;    // for a line that says it was not linked
	const char *instead; // what to do then, before the libexec path
};

const link_entry links[] = {
    {names::bin_dir, names::program, names::program_target, "the command", "run"},
    {names::man8_dir, names::manpage, names::manpage_target, "the manual page", "read it with man"},
};

// What is at `name` in `dir`: "" (nothing), "file", "link" (its target in *target),
// "a folder" or "not a plain file".
std::string kind_of(int dir, const char *name, std::string *target)
{
	struct stat st;
	if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == -1)
		return "";
	if (!S_ISLNK(st.st_mode))
		return S_ISREG(st.st_mode)   ? "file"
		       : S_ISDIR(st.st_mode) ? "a folder"
		                             : "not a plain file";
	char text[1024];
	ssize_t size = readlinkat(dir, name, text, sizeof text);
	target->assign(text, size > 0 ? static_cast<size_t>(size) : 0);
	return "link";
}

std::string described(const std::string &kind, const std::string &target)
{
	return kind == "link" ? "a link to " + target : kind == "file" ? "a file" : kind;
}

// Makes one link when its folder and every folder above it are root's alone; otherwise
// says why not, and what to do instead. Never fails the run.
void make_link(const link_entry &entry)
{
	std::string folder = install_prefix() + "/" + entry.folder;
	std::string path = shown(folder) + "/" + entry.name;
	// The link's name is its target's in libexec.
	std::string instead = std::string(entry.instead) + " " + shown(install_prefix()) + "/" +
	                      names::libexec_dir + "/" + entry.name;
	place dir;
	finding found;
	if (open_chain(folder, true, &dir, &found) != 0) {
		// Only looked at: that folder is not root's to work in.
		struct stat st;
		bool stale = lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
		note(std::string(entry.what) + " was not linked: " + found.path + " " + found.what +
		     "; " + instead +
		     (stale ? "; " + path + " is stale, from an earlier install" : ""));
		return;
	}
	std::string target, kind = kind_of(dir.fd, entry.name, &target);
	std::string temporary = std::string(".") + entry.name + ".link";
	if (kind.empty() && symlinkat(entry.target, dir.fd, entry.name) == 0) {
		say(path + " -> " + entry.target);
	} else if (kind == "file") {
		// An earlier layout's copy: a link made beside it replaces it in one rename.
		(void)unlinkat(dir.fd, temporary.c_str(), 0); // left by a run that died
		if (symlinkat(entry.target, dir.fd, temporary.c_str()) == 0 &&
		    renameat(dir.fd, temporary.c_str(), dir.fd, entry.name) == 0)
			say(path + " -> " + entry.target + ", replacing an earlier install's copy");
		else
			failed(path, "cannot be replaced by a link"),
			    (void)unlinkat(dir.fd, temporary.c_str(), 0);
	} else if (kind.empty()) {
		failed(path, "cannot be made");
	} else if (kind != "link" || target != entry.target) {
		note(path + ": left as it is (" + described(kind, target) +
		     ", not this install's); " + instead);
	}
}

// Opens the folder of our link `entry` into *dir when it is root's alone and holds the
// link; says what is left otherwise.
void find_link(const link_entry &entry, place *dir)
{
	std::string folder = install_prefix() + "/" + entry.folder;
	std::string path = shown(folder) + "/" + entry.name;
	finding found;
	struct stat st;
	int result = open_chain(folder, false, dir, &found);
	// A folder not root's alone is only looked at: its owner may remove what is there.
	if (result == 1 || (result == -1 && lstat(path.c_str(), &st) == -1))
		return note(path + ": not there");
	if (result == -1)
		return note(path + ": left as it is (" + found.path + " " + found.what + ")");
	std::string target, kind = kind_of(dir->fd, entry.name, &target);
	if (kind == "link" && target == entry.target)
		return;
	*dir = place();
	note(path + (kind.empty() ? ": not there"
	                          : ": left as it is (" + described(kind, target) +
	                                ", not this install's link)"));
}

// Removes the folder `dir`, `name` in `parent`, once empty; one that holds other files
// is left, and said.
int remove_folder(const place &parent, const char *name, const place &dir)
{
	if (unlinkat(parent.fd, name, AT_REMOVEDIR) == 0)
		return say(dir.path + ": removed"), 0;
	std::vector<std::string> left;
	if ((errno != ENOTEMPTY && errno != EEXIST) || list_folder(dir, &left) == -1)
		return failed(dir.path, "cannot be removed");
	std::string listed;
	for (const std::string &entry : left)
		listed += (listed.empty() ? "" : ", ") + entry;
	note(dir.path + ": left, it holds other files (" + listed + ")");
	return 0;
}

// Opens the checked folder `name` below `parent_path`: 0 with both places, 1 when
// either is missing (said), -1 after a refusal.
int open_pair(const std::string &parent_path, const char *name, place *parent, place *dir)
{
	finding found;
	int result = open_chain(parent_path, false, parent, &found);
	if (result == 0)
		result = open_folder(*parent, name, false, dir, &found);
	if (result == 1)
		note(shown(parent_path) + "/" + name + ": not there");
	return result == -1 ? refuse(found) : result;
}

} // namespace

int setup_link()
{
	for (const link_entry &entry : links)
		make_link(entry);
	return 0;
}

int setup_remove()
{
	// Every folder is opened and checked, and the logs' folder locked and listed, before
	// anything goes.
	place daemons, libexec_parent, libexec, log_parent, logs, lock, link_dirs[2];
	std::vector<std::string> log_names;
	finding found;
	if (open_chain(names::launchdaemons_dir, false, &daemons, &found) == -1)
		return refuse(found);
	if (open_pair(install_prefix() + "/" + names::libexec_parent, names::libexec_folder,
	              &libexec_parent, &libexec) == -1)
		return -1;
	int logs_there = open_pair(names::log_parent, names::log_folder, &log_parent, &logs);
	if (logs_there == -1 || (logs_there == 0 && (lock_logs(logs, true, &lock) != 0 ||
	                                             list_folder(logs, &log_names) == -1)))
		return -1;
	for (const std::string &name : log_names) {
		struct stat st;
		if (fstatat(logs.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
		    S_ISDIR(st.st_mode))
			return refuse(
			    {logs / name.c_str(), "is a folder, not one of the logs: remove it"});
	}
	for (int i = 0; i < 2; i++)
		find_link(links[i], &link_dirs[i]);
	if (daemons.fd == -1)
		note(shown(names::launchdaemons_dir) + ": not there");
	for (const char *name : {names::daemon_plist, names::rotate_plist})
		if (daemons.fd != -1 && remove_name(daemons, name, false) == -1)
			return -1;
	for (int i = 0; i < 2; i++)
		if (link_dirs[i].fd != -1 && remove_name(link_dirs[i], links[i].name, false) == -1)
			return -1;
	for (const char *name : {names::program, names::manpage})
		if (libexec.fd != -1 && remove_name(libexec, name, false) == -1)
			return -1;
	// The logs, the lock file last, then their folder.
	for (const std::string &name : log_names)
		if (name != names::log_lock && unlinkat(logs.fd, name.c_str(), 0) == -1 &&
		    errno != ENOENT)
			return failed(logs / name.c_str(), "cannot be removed");
	if (logs.fd == -1)
		return 0;
	if (unlinkat(logs.fd, names::log_lock, 0) == -1)
		return failed(lock.path, "cannot be removed");
	return remove_folder(log_parent, names::log_folder, logs);
}

int setup_remove_limit(bool keep)
{
	place parent, dir;
	int result = open_pair(names::limit_parent, names::limit_folder, &parent, &dir);
	if (result != 0)
		return result == -1 ? -1 : 0; // not there: nothing to remove
	if (keep && present(dir, names::limit) == 1)
		return note("keeping the stored limit, as it is"), 0;
	if (keep)
		note("no limit is stored: nothing to keep, removing its folder");
	for (const char *name : {names::limit, names::limit_lock, names::limit_temporary})
		if (remove_name(dir, name, name != names::limit) == -1)
			return -1;
	return remove_folder(parent, names::limit_folder, dir);
}

int setup_remove_scripts()
{
	place parent, dir;
	int result = open_pair(install_prefix() + "/" + names::libexec_parent,
	                       names::libexec_folder, &parent, &dir);
	if (result != 0)
		return result == -1 ? -1 : 0; // not there: nothing to remove
	for (const char *name : {names::install_script, names::uninstall_script,
	                         names::launchd_functions, names::unfinished, names::tool})
		if (remove_name(dir, name, name == names::unfinished) == -1)
			return -1;
	return remove_folder(parent, names::libexec_folder, dir);
}
