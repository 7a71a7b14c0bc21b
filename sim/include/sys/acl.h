// The simulated Mac: the part of <sys/acl.h> that the install tool uses to read a
// file's access control list, as the macOS SDK declares it. On Linux the entries come
// from the POSIX access ACL that setfacl writes (sim/src/acl.cpp); this header shadows
// Linux's own <sys/acl.h>, whose calls and types differ.
#pragma once

#include <sys/types.h>

typedef struct _acl *acl_t;
typedef struct _acl_entry *acl_entry_t;
typedef struct _acl_permset *acl_permset_t;

typedef enum { ACL_TYPE_EXTENDED = 0x00000100 } acl_type_t;

typedef enum { ACL_UNDEFINED_TAG = 0, ACL_EXTENDED_ALLOW = 1, ACL_EXTENDED_DENY = 2 } acl_tag_t;

typedef enum {
	ACL_READ_DATA = 1 << 1,
	ACL_LIST_DIRECTORY = 1 << 1,
	ACL_WRITE_DATA = 1 << 2,
	ACL_ADD_FILE = 1 << 2,
	ACL_EXECUTE = 1 << 3,
	ACL_SEARCH = 1 << 3,
	ACL_DELETE = 1 << 4,
	ACL_APPEND_DATA = 1 << 5,
	ACL_ADD_SUBDIRECTORY = 1 << 5,
	ACL_DELETE_CHILD = 1 << 6,
	ACL_READ_ATTRIBUTES = 1 << 7,
	ACL_WRITE_ATTRIBUTES = 1 << 8,
	ACL_READ_EXTATTRIBUTES = 1 << 9,
	ACL_WRITE_EXTATTRIBUTES = 1 << 10,
	ACL_READ_SECURITY = 1 << 11,
	ACL_WRITE_SECURITY = 1 << 12,
	ACL_CHANGE_OWNER = 1 << 13,
} acl_perm_t;

enum { ACL_FIRST_ENTRY = 0, ACL_NEXT_ENTRY = -1, ACL_LAST_ENTRY = -2 };

#ifdef __cplusplus
extern "C" {
#endif

// The file's ACL, or NULL with errno ENOENT when it has none.
acl_t acl_get_fd_np(int fd, acl_type_t type);
// The same for a path, whose final symbolic link is not followed.
acl_t acl_get_link_np(const char *path_p, acl_type_t type);
// 0 and the entry; -1 with errno EINVAL past the last one.
int acl_get_entry(acl_t acl, int entry_id, acl_entry_t *entry_p);
int acl_get_tag_type(acl_entry_t entry_d, acl_tag_t *tag_type_p);
int acl_get_permset(acl_entry_t entry_d, acl_permset_t *permset_p);
// 1 when the permission is in the set, 0 when not.
int acl_get_perm_np(acl_permset_t permset_d, acl_perm_t perm);
// A copy of the entry's 16-byte UUID, to be released with acl_free.
void *acl_get_qualifier(acl_entry_t entry_d);
int acl_free(void *obj_p);

#ifdef __cplusplus
}
#endif
