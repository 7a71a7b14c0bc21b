// The simulated Mac: mbr_uuid_to_id from <membership.h>, for the UUIDs that the simulated
// ACL entries carry (sim/src/acl.cpp): the ones macOS synthesises for a uid or a gid.
#pragma once

#include <sys/types.h>

#define ID_TYPE_UID 0
#define ID_TYPE_GID 1

typedef unsigned char uuid_t[16];

#ifdef __cplusplus
extern "C" {
#endif

// 0 with the uid or gid and its type; an error number when the UUID names no account.
int mbr_uuid_to_id(const uuid_t uu, id_t *uid_or_gid, int *id_type);

#ifdef __cplusplus
}
#endif
