#pragma once

// The folders on a walk's way from where it started to where it is, so that
// a folder met again on its own path is not entered: a directory hard link to
// a folder above, or a FAT entry naming the cluster of a folder above, would
// make the walk go on without end. VolumeWalker's; not for use elsewhere.

#include <QHash>
#include <QSet>
#include <QtGlobal>

#include <cstddef>

#include <sys/types.h>

namespace walkedpath {

// A listing's fingerprint: FNV-1a over its names, each ended by a NUL byte.
constexpr quint64 kListingBasis = 0xcbf29ce484222325ULL;
constexpr quint64 kListingPrime = 0x100000001b3ULL;

inline quint64 addToListing(quint64 hash, const char *name, size_t length)
{
    for (size_t i = 0; i <= length; ++i)   // the NUL too
        hash = (hash ^ static_cast<unsigned char>(name[i])) * kListingPrime;
    return hash;
}

// Deeper than any tree a volume holds on purpose (the deepest we walk in
// earnest are chains of 60,000 folders): a folder below it is taken for one
// met again on its own path that neither its identity nor its listing told.
constexpr qsizetype kMaxDepth = 65536;

// The names a folder's listing is told by before its entries are handed out,
// where it could repeat the listing of a folder above it.
constexpr qsizetype kPrefixNames = 32;

// A folder's listing as it is read: its fingerprint, and that of its first
// kPrefixNames names (the same for a folder of no more).
struct Listing
{
    quint64 whole = kListingBasis;
    quint64 prefix = kListingBasis;
    qsizetype names = 0;

    void add(const char *name, size_t length)
    {
        whole = addToListing(whole, name, length);
        if (++names <= kPrefixNames)
            prefix = whole;
    }
};

// The identities of the folders on the path, and the listings of those whose
// identity tells nothing (FAT, exFAT), each with the number of folders that list it.
class OwnPath
{
public:
    bool holds(ino_t ino) const { return m_identities.contains(ino); }
    // Can a folder below still repeat a listing above: is one on the path?
    bool hasListings() const { return !m_listings.isEmpty(); }
    bool holdsPrefix(quint64 prefix) const { return m_prefixes.contains(prefix); }
    bool holdsListing(quint64 listing) const { return m_listings.contains(listing); }

    // A folder comes onto the path or leaves it; `listing` where it stands for the folder.
    void add(ino_t ino, const Listing *listing)
    {
        m_identities.insert(ino);
        if (listing) {
            ++m_listings[listing->whole];
            ++m_prefixes[listing->prefix];
        }
    }
    void remove(ino_t ino, const Listing *listing)
    {
        m_identities.remove(ino);
        if (!listing)
            return;
        for (auto [counts, key] : {std::pair{&m_listings, listing->whole}, std::pair{&m_prefixes, listing->prefix}}) {
            if (--(*counts)[key] == 0)
                counts->remove(key);
        }
    }

private:
    QSet<ino_t> m_identities;
    QHash<quint64, int> m_listings;
    QHash<quint64, int> m_prefixes;
};

} // namespace walkedpath
