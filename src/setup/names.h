// Every path the install tool works on, spelled once. Paths are a Mac's, relative to the
// root ("/", or TAMSO_ROOT in a staged run); those under the install prefix are relative
// to it. The TAMSO_SETUP_* names come from the build's configuration, which also gives
// the logs' paths and the launchd labels to the property lists and the scripts.
#pragma once

#include <string_view>

#include "power/pathnames.h"

namespace names {

// The configured install prefix (TAMSO_PREFIX overrides it), and the folders below it.
inline constexpr const char *prefix = TAMSO_SETUP_PREFIX;
inline constexpr const char *bin_dir = TAMSO_SETUP_BINDIR;
inline constexpr const char *man8_dir = TAMSO_SETUP_MANDIR "/man8";
// What launchd runs, the scripts, the tool and the manual page's own file: the folder
// libexec_folder in the prefix's libexec.
inline constexpr const char *libexec_dir = TAMSO_SETUP_LIBEXECDIR "/tamso-helper";
inline constexpr const char *libexec_folder = "tamso-helper";
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
inline constexpr const char *daemon_plist = TAMSO_SETUP_LABEL ".plist";
inline constexpr const char *rotate_plist = TAMSO_SETUP_ROTATE_LABEL ".plist";

// The logs' folder, its parent, and the names of the files it holds. /var is a link to
// private/var on a Mac, and a link is never followed, so the real path is named.
inline constexpr const char *log_dir = TAMSO_SETUP_LOG_DIR;
inline constexpr std::size_t log_parent_length = std::string_view(log_dir).rfind('/');
inline constexpr const char *log_folder = log_dir + log_parent_length + 1;
// Where a log's name starts in its path.
inline constexpr std::size_t log_name_at = std::string_view(log_dir).size() + 1;
inline constexpr const char *log = &TAMSO_SETUP_LOG[log_name_at];
inline constexpr const char *log_archive_0 = &TAMSO_SETUP_LOG ".0"[log_name_at];
inline constexpr const char *log_archive_1 = &TAMSO_SETUP_LOG ".1"[log_name_at];
inline constexpr const char *rotate_log = &TAMSO_SETUP_ROTATE_LOG[log_name_at];
inline constexpr const char *log_lock = "tamso-helper.lock";
static_assert(std::string_view(TAMSO_SETUP_LOG).starts_with(TAMSO_SETUP_LOG_DIR "/") &&
              std::string_view(TAMSO_SETUP_ROTATE_LOG).starts_with(TAMSO_SETUP_LOG_DIR "/"));

// The stored limit's folder and its parent, as the program's store names them, and the
// names the install adds beside the limit.
inline constexpr const char *limit_dir = paths::limit_dir;
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
