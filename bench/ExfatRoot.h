#pragma once

// A root folder of a million entries on an exFAT image, written into the
// image's root directory directly: made through exfat-fuse, each new name is
// looked for among all the names before it, so a root of that size would
// take hours. The image must be fresh from mkfs.exfat. The entries are empty
// files; every `appleDoubleEvery`-th one is a "._" file.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace bench {

class ExfatRoot
{
public:
    explicit ExfatRoot(const QString &image) : m_fd(::open(QFile::encodeName(image).constData(), O_RDWR | O_CLOEXEC)) {}
    ~ExfatRoot()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    ExfatRoot(const ExfatRoot &) = delete;
    ExfatRoot &operator=(const ExfatRoot &) = delete;

    // Adds `count` files to the root: "F0000000.JPG" and so on, and
    // "._F0000000.JPG" for every `appleDoubleEvery`-th. Empty on success,
    // else what went wrong.
    QString fill(qint64 count, int appleDoubleEvery)
    {
        if (m_fd < 0 || !readBoot())
            return QStringLiteral("not an exFAT image");
        std::vector<char> root = readChain(m_rootCluster, m_rootClusters);
        const std::optional<size_t> end = endOfEntries(root);
        if (!end || m_bitmapCluster == 0)
            return QStringLiteral("no end of the root's entries, or no allocation bitmap");
        root.resize(*end);
        root.reserve(*end + size_t(count) * 128);
        for (qint64 i = 0; i < count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "%sF%07lld.JPG", i % appleDoubleEvery == 0 ? "._" : "",
                          static_cast<long long>(i));
            appendFile(root, name);
        }
        return writeRoot(root);
    }

private:
    using Cluster = quint32;

    template <typename T>
    static T at(const char *bytes)
    {
        T value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
    template <typename T>
    static void put(char *bytes, T value)
    {
        std::memcpy(bytes, &value, sizeof value);
    }

    bool readAt(qint64 offset, void *into, size_t size) const
    {
        return ::pread(m_fd, into, size, offset) == ssize_t(size);
    }
    bool writeAt(qint64 offset, const void *from, size_t size) const
    {
        return ::pwrite(m_fd, from, size, offset) == ssize_t(size);
    }

    bool readBoot()
    {
        char boot[512];
        if (!readAt(0, boot, sizeof boot) || std::memcmp(boot + 3, "EXFAT   ", 8) != 0)
            return false;
        m_sector = 1u << uchar(boot[0x6c]);
        m_cluster = m_sector << uchar(boot[0x6d]);
        m_fatOffset = qint64(at<quint32>(boot + 0x50)) * m_sector;
        m_heapOffset = qint64(at<quint32>(boot + 0x58)) * m_sector;
        m_clusterCount = at<quint32>(boot + 0x5c);
        m_rootCluster = at<quint32>(boot + 0x60);
        std::vector<char> root = readChain(m_rootCluster, m_rootClusters);
        for (size_t offset = 0; offset + 32 <= root.size(); offset += 32) {
            if (uchar(root[offset]) == 0x81) {   // the allocation bitmap
                m_bitmapCluster = at<quint32>(root.data() + offset + 20);
                m_bitmapBytes = at<quint64>(root.data() + offset + 24);
            }
        }
        return true;
    }

    Cluster next(Cluster cluster) const
    {
        quint32 value = 0;
        readAt(m_fatOffset + qint64(cluster) * 4, &value, 4);
        return value;
    }
    qint64 place(Cluster cluster) const { return m_heapOffset + qint64(cluster - 2) * m_cluster; }

    // The bytes of a chain of clusters (and the clusters, in order).
    std::vector<char> readChain(Cluster first, std::vector<Cluster> &clusters) const
    {
        clusters.clear();
        std::vector<char> bytes;
        for (Cluster c = first; c >= 2 && c < m_clusterCount + 2 && clusters.size() < 1000000; c = next(c)) {
            clusters.push_back(c);
            bytes.resize(bytes.size() + m_cluster);
            readAt(place(c), bytes.data() + bytes.size() - m_cluster, m_cluster);
        }
        return bytes;
    }

    static std::optional<size_t> endOfEntries(const std::vector<char> &dir)
    {
        for (size_t offset = 0; offset + 32 <= dir.size(); offset += 32) {
            if (dir[offset] == 0)
                return offset;
        }
        return std::nullopt;
    }

    static quint16 rotateAdd(quint16 sum, uchar byte) { return quint16(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + byte); }

    // File, stream extension and name entries of an empty file whose name
    // is ASCII in capitals (its own up-cased form), 15 characters a name entry.
    static void appendFile(std::vector<char> &dir, const char *name)
    {
        const size_t length = std::strlen(name);
        const size_t nameEntries = (length + 14) / 15;
        std::vector<char> set(32 * (2 + nameEntries), 0);
        set[0] = char(0x85);
        set[1] = char(1 + nameEntries);                      // secondary entries
        put<quint16>(&set[4], 0x20);                         // archive
        const quint32 stamp = (44u << 25) | (1u << 21) | (1u << 16);   // 2024-01-01
        put<quint32>(&set[8], stamp);
        put<quint32>(&set[12], stamp);
        put<quint32>(&set[16], stamp);
        set[32] = char(0xc0);
        set[33] = 1;                                         // allocation possible, FAT chain
        set[35] = char(length);
        quint16 hash = 0;
        for (size_t i = 0; i < length; ++i) {
            hash = rotateAdd(hash, uchar(name[i]));
            hash = rotateAdd(hash, 0);
        }
        put<quint16>(&set[36], hash);
        for (size_t i = 0; i < length; ++i) {
            char *entry = &set[64 + 32 * (i / 15)];
            entry[0] = char(0xc1);
            put<quint16>(entry + 2 + 2 * (i % 15), quint16(uchar(name[i])));
        }
        quint16 sum = 0;
        for (size_t i = 0; i < set.size(); ++i) {
            if (i != 2 && i != 3)
                sum = rotateAdd(sum, uchar(set[i]));
        }
        put<quint16>(&set[2], sum);
        dir.insert(dir.end(), set.cbegin(), set.cend());
    }

    // The root's entries into its clusters, with more clusters chained
    // after its own as it needs them (the first free ones, marked in the
    // bitmap), and zeros after the last entry.
    QString writeRoot(std::vector<char> &root)
    {
        const size_t clusters = (root.size() + 32 + m_cluster - 1) / m_cluster;
        std::vector<Cluster> bitmapClusters;
        std::vector<char> bitmap = readChain(m_bitmapCluster, bitmapClusters);
        std::vector<Cluster> chain = m_rootClusters;
        for (Cluster c = 2; chain.size() < clusters && c < m_clusterCount + 2; ++c) {
            const size_t bit = c - 2;
            if (bit / 8 >= m_bitmapBytes || (bitmap[bit / 8] >> (bit % 8)) & 1)
                continue;
            bitmap[bit / 8] = char(bitmap[bit / 8] | (1 << (bit % 8)));
            chain.push_back(c);
        }
        if (chain.size() < clusters)
            return QStringLiteral("the image is too small for the root");
        root.resize(clusters * m_cluster, 0);
        for (size_t i = 0; i < chain.size(); ++i) {
            const Cluster after = i + 1 < chain.size() ? chain[i + 1] : 0xffffffffu;
            if (!writeAt(m_fatOffset + qint64(chain[i]) * 4, &after, 4)
                || !writeAt(place(chain[i]), root.data() + i * m_cluster, m_cluster))
                return QStringLiteral("cannot write the image");
        }
        for (size_t i = 0; i < bitmapClusters.size(); ++i) {
            if (!writeAt(place(bitmapClusters[i]), bitmap.data() + i * m_cluster, m_cluster))
                return QStringLiteral("cannot write the image");
        }
        return ::fsync(m_fd) == 0 ? QString() : QStringLiteral("cannot write the image");
    }

    int m_fd = -1;
    quint32 m_sector = 512;
    quint32 m_cluster = 4096;
    qint64 m_fatOffset = 0;
    qint64 m_heapOffset = 0;
    quint32 m_clusterCount = 0;
    Cluster m_rootCluster = 0;
    std::vector<Cluster> m_rootClusters;
    Cluster m_bitmapCluster = 0;
    quint64 m_bitmapBytes = 0;
};

} // namespace bench
