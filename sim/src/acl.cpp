// The simulated Mac's access control lists: the macOS calls of <sys/acl.h> and
// <membership.h>, answered from the POSIX access ACL that Linux keeps on the file (the
// system.posix_acl_access extended attribute that setfacl writes). Each named-user or
// named-group entry becomes one ACL_EXTENDED_ALLOW entry; the owner, owning-group, mask
// and other entries are the mode bits and become none. The mask is not applied: an entry
// counts with all the rights it names, as an allow entry on a Mac does.
#include <sys/acl.h>

#include <membership.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/xattr.h>
#include <vector>

struct _acl_permset {
	unsigned bits;
};

struct _acl_entry {
	acl_tag_t tag;
	_acl_permset permset;
	uuid_t qualifier;
};

struct _acl {
	std::vector<_acl_entry> entries;
	size_t next = 0;
};

namespace {

// The attribute's format (linux/posix_acl_xattr.h): a 4-byte version, 2, then entries
// of tag (u16), permissions (u16) and id (u32), little-endian.
constexpr uint32_t xattr_version = 2;
constexpr uint16_t tag_user = 0x02;
constexpr uint16_t tag_group = 0x08;
constexpr uint16_t perm_read = 4, perm_write = 2, perm_execute = 1;

// The UUIDs macOS synthesises for accounts without one of their own: a fixed prefix
// and the id, big-endian, in the last four bytes.
constexpr unsigned char user_prefix[12] = {0xff, 0xff, 0xee, 0xee, 0xdd, 0xdd,
                                           0xcc, 0xcc, 0xbb, 0xbb, 0xaa, 0xaa};
constexpr unsigned char group_prefix[12] = {0xab, 0xcd, 0xef, 0xab, 0xcd, 0xef,
                                            0xab, 0xcd, 0xef, 0xab, 0xcd, 0xef};

// The ACLs handed out and not yet freed: acl_free tells them from qualifiers by this.
std::vector<acl_t> &live_acls()
{
	static auto *live = new std::vector<acl_t>;
	return *live;
}

uint32_t little_endian(const unsigned char *p, int size)
{
	uint32_t value = 0;
	for (int i = size - 1; i >= 0; i--)
		value = value << 8 | p[i];
	return value;
}

unsigned mac_permissions(uint16_t perm)
{
	unsigned bits = 0;
	if ((perm & perm_read) != 0)
		bits |= ACL_READ_DATA;
	if ((perm & perm_write) != 0)
		bits |= ACL_WRITE_DATA | ACL_APPEND_DATA | ACL_DELETE_CHILD | ACL_DELETE;
	if ((perm & perm_execute) != 0)
		bits |= ACL_EXECUTE;
	return bits;
}

// The ACL for the attribute's bytes, or NULL with errno ENOENT when it names no entry
// that a Mac would keep, EINVAL when the bytes are malformed.
acl_t from_attribute(const unsigned char *data, ssize_t size)
{
	if (size < 4 || (size - 4) % 8 != 0 || little_endian(data, 4) != xattr_version) {
		errno = EINVAL;
		return nullptr;
	}
	acl_t acl = new _acl;
	for (const unsigned char *p = data + 4; p < data + size; p += 8) {
		uint16_t tag = static_cast<uint16_t>(little_endian(p, 2));
		if (tag != tag_user && tag != tag_group)
			continue;
		_acl_entry entry{ACL_EXTENDED_ALLOW,
		                 {mac_permissions(static_cast<uint16_t>(little_endian(p + 2, 2)))},
		                 {}};
		memcpy(entry.qualifier, tag == tag_user ? user_prefix : group_prefix, 12);
		uint32_t id = little_endian(p + 4, 4);
		for (int i = 0; i < 4; i++)
			entry.qualifier[12 + i] = static_cast<unsigned char>(id >> (24 - 8 * i));
		acl->entries.push_back(entry);
	}
	if (acl->entries.empty()) {
		delete acl;
		errno = ENOENT;
		return nullptr;
	}
	live_acls().push_back(acl);
	return acl;
}

// Reads the attribute with `get` (fgetxattr or lgetxattr, bound to the file).
template <typename Get> acl_t read_acl(Get get)
{
	unsigned char data[4 + 8 * 64];
	ssize_t size = get(data, sizeof data);
	if (size == -1 && errno == ENODATA)
		errno = ENOENT;
	return size == -1 ? nullptr : from_attribute(data, size);
}

} // namespace

extern "C" {

acl_t acl_get_fd_np(int fd, acl_type_t type)
{
	if (type != ACL_TYPE_EXTENDED) {
		errno = EINVAL;
		return nullptr;
	}
	return read_acl([fd](void *data, size_t size) {
		return fgetxattr(fd, "system.posix_acl_access", data, size);
	});
}

acl_t acl_get_link_np(const char *path_p, acl_type_t type)
{
	if (type != ACL_TYPE_EXTENDED) {
		errno = EINVAL;
		return nullptr;
	}
	return read_acl([path_p](void *data, size_t size) {
		return lgetxattr(path_p, "system.posix_acl_access", data, size);
	});
}

int acl_get_entry(acl_t acl, int entry_id, acl_entry_t *entry_p)
{
	if (acl == nullptr || entry_p == nullptr) {
		errno = EINVAL;
		return -1;
	}
	if (entry_id == ACL_FIRST_ENTRY)
		acl->next = 0;
	else if (entry_id != ACL_NEXT_ENTRY)
		acl->next = static_cast<size_t>(entry_id);
	if (acl->next >= acl->entries.size()) {
		errno = EINVAL;
		return -1;
	}
	*entry_p = &acl->entries[acl->next++];
	return 0;
}

int acl_get_tag_type(acl_entry_t entry_d, acl_tag_t *tag_type_p)
{
	*tag_type_p = entry_d->tag;
	return 0;
}

int acl_get_permset(acl_entry_t entry_d, acl_permset_t *permset_p)
{
	*permset_p = &entry_d->permset;
	return 0;
}

int acl_get_perm_np(acl_permset_t permset_d, acl_perm_t perm)
{
	return (permset_d->bits & static_cast<unsigned>(perm)) != 0 ? 1 : 0;
}

void *acl_get_qualifier(acl_entry_t entry_d)
{
	void *copy = malloc(sizeof(uuid_t));
	if (copy != nullptr)
		memcpy(copy, entry_d->qualifier, sizeof(uuid_t));
	return copy;
}

int acl_free(void *obj_p)
{
	std::vector<acl_t> &live = live_acls();
	auto found = std::find(live.begin(), live.end(), static_cast<acl_t>(obj_p));
	if (found != live.end()) {
		live.erase(found);
		delete static_cast<acl_t>(obj_p);
	} else {
		free(obj_p); // a qualifier
	}
	return 0;
}

int mbr_uuid_to_id(const uuid_t uu, id_t *uid_or_gid, int *id_type)
{
	bool user = memcmp(uu, user_prefix, 12) == 0;
	if (!user && memcmp(uu, group_prefix, 12) != 0)
		return ENOENT;
	*uid_or_gid = static_cast<id_t>(uint32_t{uu[12]} << 24 | uint32_t{uu[13]} << 16 |
	                                uint32_t{uu[14]} << 8 | uu[15]);
	*id_type = user ? ID_TYPE_UID : ID_TYPE_GID;
	return 0;
}

} // extern "C"
