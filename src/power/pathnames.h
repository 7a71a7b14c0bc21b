// Every file-system path the program touches on a Mac, spelled once.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace paths {

// Directory of the stored charge limit; created by `setlimit` with mode 0755.
inline constexpr const char *limit_dir = "/Library/Application Support/Tamso";

// The folder that holds limit_dir, and limit_dir's name in it: the store creates and
// opens the folder relative to its parent, so that a link above it is never followed.
inline constexpr std::size_t limit_parent_length = std::string_view(limit_dir).rfind('/');
inline constexpr auto limit_parent = [] {
	std::array<char, limit_parent_length + 1> parent{};
	for (std::size_t i = 0; i < limit_parent_length; i++)
		parent[i] = limit_dir[i];
	return parent;
}();
inline constexpr const char *limit_folder_name = limit_dir + limit_parent_length + 1;
static_assert(limit_parent_length > 0 && std::string_view(limit_folder_name) == "Tamso");

// The stored charge limit: one decimal number and a newline.
inline constexpr const char *limit_file = "/Library/Application Support/Tamso/limit";

// The limit file's name inside limit_dir: the store works relative to the folder.
inline constexpr const char *limit_name = limit_file + std::string_view(limit_dir).size() + 1;
static_assert(std::string_view(limit_file).starts_with(std::string_view(limit_dir)) &&
              limit_name[-1] == '/');

// The file a store writes and then renames to limit_name, inside limit_dir. Names of the
// form "limit.*.tmp" are temporaries too: what earlier versions left behind.
inline constexpr const char *limit_temporary = "limit.tmp";

// The file whose lock serialises stores, inside limit_dir: created mode 0600 by the first
// store and kept for good, so that only root can open it and hold the lock.
inline constexpr const char *limit_lock = "limit.lock";

// The system's power-management utility, to which `powermode` hands over.
inline constexpr const char *pmset = "/usr/bin/pmset";

} // namespace paths
