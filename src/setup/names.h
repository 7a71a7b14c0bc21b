// Every path the install tool works on, spelled once. Paths are a Mac's, relative to the
// root ("/", or TAMSO_ROOT in a staged run); those under the install prefix are relative
// to it. TAMSO_SETUP_PREFIX and the folders below it come from the build's configuration.
#pragma once

#include "power/pathnames.h"

namespace names {

// The configured install prefix (TAMSO_PREFIX overrides it), and the folders below it.
inline constexpr const char *prefix = TAMSO_SETUP_PREFIX;
inline constexpr const char *bin_dir = TAMSO_SETUP_BINDIR;
inline constexpr const char *man8_dir = TAMSO_SETUP_MANDIR "/man8";
// What launchd runs, the scripts, the tool and the manual page's own file: the folder
// libexec_folder in libexec_parent.
inline constexpr const char *libexec_parent = TAMSO_SETUP_LIBEXECDIR;
inline constexpr const char *libexec_folder = "tamso-helper";
inline constexpr const char *libexec_dir = TAMSO_SETUP_LIBEXECDIR "/tamso-helper";
// Targets of the links in bin_dir and man8_dir, relative to those folders.
inline constexpr const char *program_target = TAMSO_SETUP_PROGRAM_TARGET;
inline constexpr const char *manpage_target = TAMSO_SETUP_MANPAGE_TARGET;

inline constexpr const char *program = "tamso-helper";
inline constexpr const char *tool = "tamso-setup";
inline constexpr const char *manpage = "tamso-helper.8";
inline constexpr const char *install_script = "install.sh";
inline constexpr const char *uninstall_script = "uninstall.sh";
inline constexpr const char *launchd_functions = "launchd.sh";
// There while an install runs; left by one that was killed.
inline constexpr const char *unfinished = "install.unfinished";

inline constexpr const char *launchdaemons_dir = "/Library/LaunchDaemons";
inline constexpr const char *daemon_plist = "org.tamso.helper.plist";
inline constexpr const char *rotate_plist = "org.tamso.helper.rotate.plist";

// The logs' folder and its parent: /var is a link to private/var on a Mac, and a link
// is never followed, so the real path is named.
inline constexpr const char *log_parent = "/private/var/log";
inline constexpr const char *log_folder = "tamso-helper";
inline constexpr const char *log = "tamso-helper.log";
inline constexpr const char *log_archive_0 = "tamso-helper.log.0";
inline constexpr const char *log_archive_1 = "tamso-helper.log.1";
inline constexpr const char *rotate_log = "tamso-helper.rotate.log";
inline constexpr const char *log_lock = "tamso-helper.lock";

// The stored limit's folder and its parent, as the program's store names them, and the
// names the install adds beside the limit.
inline constexpr const char *limit_parent = paths::limit_parent.data();
inline constexpr const char *limit_folder = paths::limit_folder_name;
inline constexpr const char *limit = paths::limit_name;
inline constexpr const char *limit_lock = paths::limit_lock;
inline constexpr const char *limit_temporary = paths::limit_temporary;
inline constexpr const char *limit_kept = "limit.kept";
inline constexpr const char *limit_refused = "limit.kept.refused.";

// The size from which the rotation moves the log aside, in bytes.
inline constexpr long rotate_at = 512 * 1024;

} // namespace names
