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

// What is at `name` in `dir`, as said: "" (nothing), "a file", "a link to TARGET", "a
// folder" or "not a plain file".
std::string kind_of(int dir, const char *name)
{
	struct stat st;
	if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == -1)
		return "";
	if (!S_ISLNK(st.st_mode))
		return S_ISREG(st.st_mode)   ? "a file"
		       : S_ISDIR(st.st_mode) ? "a folder"
		                             : "not a plain file";
	char target[1024];
	ssize_t size = readlinkat(dir, name, target, sizeof target);
	return "a link to " + std::string(target, size > 0 ? static_cast<size_t>(size) : 0);
}

// Makes one link when its folder and every folder above it are root's alone; otherwise
// says why not, and what to do instead. Never fails the run, whatever it returns.
int make_link(const link_entry &entry)
{
	std::string folder = in_prefix(entry.folder), path = shown(folder) + "/" + entry.name;
	// The link's name is its target's in libexec.
	std::string instead = std::string(entry.instead) + " " +
	                      shown(in_prefix(names::libexec_dir)) + "/" + entry.name;
	place dir;
	finding found;
	if (open_chain(folder, true, &dir, &found) != 0) {
		// Only looked at: that folder is not root's to work in.
		struct stat st;
		bool stale = lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
		return note(std::string(entry.what) + " was not linked: " + found.path + " " +
		            found.what + "; " + instead +
		            (stale ? "; " + path + " is stale, from an earlier install" : ""));
	}
	std::string kind = kind_of(dir.fd, entry.name);
	if (kind.empty() && symlinkat(entry.target, dir.fd, entry.name) == 0)
		return say(path + " -> " + entry.target);
	if (kind.empty())
		return failed(path, "cannot be made");
	if (kind != "a file")
		return kind == std::string("a link to ") + entry.target
		           ? 0
		           : note(path + ": left as it is (" + kind + ", not this install's); " +
		                  instead);
	// An earlier layout's copy: a link made beside it replaces it in one rename.
	std::string temporary = std::string(".") + entry.name + ".link";
	(void)unlinkat(dir.fd, temporary.c_str(), 0); // left by a run that died
	if (symlinkat(entry.target, dir.fd, temporary.c_str()) == 0 &&
	    renameat(dir.fd, temporary.c_str(), dir.fd, entry.name) == 0)
		return say(path + " -> " + entry.target + ", replacing an earlier install's copy");
	failed(path, "cannot be replaced by a link");
	(void)unlinkat(dir.fd, temporary.c_str(), 0);
	return -1;
}

// Opens the folder of our link `entry` into *dir when it is root's alone and holds the
// link; says what is left otherwise. 0.
int find_link(const link_entry &entry, place *dir)
{
	std::string folder = in_prefix(entry.folder), path = shown(folder) + "/" + entry.name;
	finding found;
	struct stat st;
	int result = open_chain(folder, false, dir, &found);
	// A folder not root's alone is only looked at: its owner may remove what is there.
	if (result == 1 || (result == -1 && lstat(path.c_str(), &st) == -1))
		return note(path + ": not there");
	if (result == -1)
		return note(path + ": left as it is (" + found.path + " " + found.what + ")");
	std::string kind = kind_of(dir->fd, entry.name);
	if (kind == std::string("a link to ") + entry.target)
		return 0;
	*dir = place();
	return note(path + (kind.empty()
	                        ? ": not there"
	                        : ": left as it is (" + kind + ", not this install's link)"));
}

// Removes the folder `dir`, `name` in `parent`, once empty; one that holds other files
// is left, and said.
int remove_folder(const place &parent, const char *name, const place &dir)
{
	if (unlinkat(parent.fd, name, AT_REMOVEDIR) == 0)
		return say(dir.path + ": removed");
	std::vector<std::string> left;
	if ((errno != ENOTEMPTY && errno != EEXIST) || list_folder(dir, &left) == -1)
		return failed(dir.path, "cannot be removed");
	std::string listed;
	for (const std::string &entry : left)
		listed += (listed.empty() ? "" : ", ") + entry;
	return note(dir.path + ": left, it holds other files (" + listed + ")");
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
	place daemons, libexec, log_parent, logs, lock, link_dirs[2];
	log_entries log_names;
	if (open_checked(names::launchdaemons_dir, quiet_missing, &daemons) == -1 ||
	    open_checked(in_prefix(names::libexec_dir), say_missing, &libexec) == -1)
		return -1;
	int logs_there = open_checked(names::log_dir, say_missing, &logs, &log_parent);
	if (logs_there == -1 ||
	    (logs_there == 0 && (lock_file(logs, names::log_lock, true, &lock) != 0 ||
	                         list_logs(logs, &log_names) == -1)))
		return -1;
	for (int i = 0; i < 2; i++)
		find_link(links[i], &link_dirs[i]);
	if (daemons.fd == -1)
		note(shown(names::launchdaemons_dir) + ": not there");
	const std::pair<const place &, const char *> removals[] = {
	    {daemons, names::daemon_plist}, {daemons, names::rotate_plist},
	    {link_dirs[0], links[0].name},  {link_dirs[1], links[1].name},
	    {libexec, names::program},      {libexec, names::manpage}};
	for (const auto &[dir, name] : removals)
		if (dir.fd != -1 && remove_name(dir, name, false) == -1)
			return -1;
	if (logs.fd == -1)
		return 0;
	// The logs, the lock file last, then their folder.
	for (const auto &[name, why] : log_names)
		if (name != names::log_lock && unlinkat(logs.fd, name.c_str(), 0) == -1 &&
		    errno != ENOENT)
			return failed(logs / name.c_str(), "cannot be removed");
	if (unlinkat(logs.fd, names::log_lock, 0) == -1)
		return failed(lock.path, "cannot be removed");
	return remove_folder(log_parent, names::log_folder, logs);
}

int setup_remove_limit(bool keep)
{
	place parent, dir;
	int result = open_checked(names::limit_dir, say_missing, &dir, &parent);
	if (result != 0)
		return result == -1 ? -1 : 0; // not there: nothing to remove
	if (keep && present(dir, names::limit) == 1)
		return note("keeping the stored limit, as it is");
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
	int result = open_checked(in_prefix(names::libexec_dir), say_missing, &dir, &parent);
	if (result != 0)
		return result == -1 ? -1 : 0; // not there: nothing to remove
	for (const char *name : {names::install_script, names::uninstall_script,
	                         names::launchd_functions, names::unfinished, names::tool})
		if (remove_name(dir, name, name == names::unfinished) == -1)
			return -1;
	return remove_folder(parent, names::libexec_folder, dir);
}
