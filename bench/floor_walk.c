/* The floor of a scan: the least a program must do to see every entry of a
 * tree. It reads each folder with getdents64 through a handle opened from its
 * parent (no link followed), asks fstat of each folder only to stay on the
 * root's file system (as find -xdev does) and lstat of an entry only where the
 * file system gives no type. Nothing is matched or printed per entry.
 *
 *   floor_walk [-l] <root>
 *
 * With -l it also lstats every entry that is not a folder (a walk that learns
 * every file's size). It prints "<entries> entries" on standard output.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

struct linux_dirent64 {
    unsigned long long d_ino;
    long long d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

enum { kBufferSize = 64 * 1024 };

static dev_t rootDevice;
static int statFiles;
static long long entries;

/* Walks the folder open at fd (and closes it). Folders are entered after
 * their parent has been read, so one buffer per level is enough. */
static void walk(int fd)
{
    char *buffer = malloc(kBufferSize);
    char *folders = NULL; /* NUL-separated names of the subfolders */
    size_t used = 0, capacity = 0;
    for (;;) {
        const long n = syscall(SYS_getdents64, fd, buffer, kBufferSize);
        if (n <= 0)
            break;
        for (long at = 0; at < n;) {
            const struct linux_dirent64 *entry = (const struct linux_dirent64 *)(buffer + at);
            at += entry->d_reclen;
            const char *name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            ++entries;
            unsigned char type = entry->d_type;
            struct stat st;
            if (type == DT_UNKNOWN || (statFiles && type != DT_DIR)) {
                if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
            }
            if (type != DT_DIR)
                continue;
            const size_t length = strlen(name) + 1;
            if (used + length > capacity) {
                capacity = (used + length) * 2;
                folders = realloc(folders, capacity);
            }
            memcpy(folders + used, name, length);
            used += length;
        }
    }
    free(buffer);
    for (size_t at = 0; at < used; at += strlen(folders + at) + 1) {
        const int child = openat(fd, folders + at, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st;
        if (child < 0)
            continue;
        if (fstat(child, &st) != 0 || st.st_dev != rootDevice) {
            close(child);
            continue;
        }
        walk(child);
    }
    free(folders);
    close(fd);
}

int main(int argc, char **argv)
{
    int arg = 1;
    if (arg < argc && strcmp(argv[arg], "-l") == 0) {
        statFiles = 1;
        ++arg;
    }
    if (arg + 1 != argc) {
        fprintf(stderr, "usage: floor_walk [-l] <root>\n");
        return 2;
    }
    const int root = open(argv[arg], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (root < 0 || fstat(root, &st) != 0) {
        perror(argv[arg]);
        return 1;
    }
    rootDevice = st.st_dev;
    walk(root);
    printf("%lld entries\n", entries);
    return 0;
}
