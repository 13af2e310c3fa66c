/*
 * Helpers for the hostile-input tests: a seeded generator, so that every
 * run tries the same inputs, and memory that ends where an inaccessible
 * page begins, so that a read or write one byte past a text or buffer
 * placed against that end faults at once instead of passing unseen.
 */
#ifndef KIV_HOSTILE_H
#define KIV_HOSTILE_H

#include <windows.h>
#include <string.h>
#include <set>
#include <string>

/* xorshift32: the same sequence for the same seed. */
struct HostileRandom {
    DWORD state;
    explicit HostileRandom(DWORD seed) : state(seed ? seed : 1) {}
    DWORD Next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    DWORD Below(DWORD n) { return Next() % n; }
    bool OneIn(DWORD n) { return Below(n) == 0; }
};

/*
 * Room for up to cbMax bytes that end at a PAGE_NOACCESS page.  Place()
 * copies data so that its last byte is the last accessible one; the
 * kMargin bytes before it are filled with kFill, so that a write before
 * the start shows too (MarginIntact).
 */
class GuardedRegion {
public:
    static const size_t kMargin = 64;
    static const BYTE kFill = 0xA5;

    explicit GuardedRegion(size_t cbMax) : m_pBase(NULL), m_cbOpen(0), m_pPlaced(NULL)
    {
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        size_t page = si.dwPageSize;
        m_cbOpen = (cbMax + kMargin + page - 1) / page * page;
        m_pBase = (BYTE *)VirtualAlloc(NULL, m_cbOpen + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        DWORD dwOld;
        if (m_pBase && !VirtualProtect(m_pBase + m_cbOpen, page, PAGE_NOACCESS, &dwOld)) {
            VirtualFree(m_pBase, 0, MEM_RELEASE);
            m_pBase = NULL;
        }
    }
    ~GuardedRegion()
    {
        if (m_pBase)
            VirtualFree(m_pBase, 0, MEM_RELEASE);
    }
    bool Ok() const { return m_pBase != NULL; }

    /* cb bytes against the guard page, filled with `fill`. */
    BYTE *End(size_t cb, BYTE fill = kFill)
    {
        m_pPlaced = m_pBase + m_cbOpen - cb;
        memset(m_pPlaced - kMargin, kFill, kMargin);
        memset(m_pPlaced, fill, cb);
        return m_pPlaced;
    }
    template <class T> T *Place(const T *pData, size_t count)
    {
        T *p = (T *)End(count * sizeof(T));
        memcpy(p, pData, count * sizeof(T));
        return p;
    }
    /* A text with its terminator, the terminator last. */
    template <class S> typename S::value_type *PlaceText(const S &text)
    {
        return Place(text.c_str(), text.size() + 1);
    }
    bool MarginIntact() const
    {
        for (size_t i = 1; i <= kMargin; i++) {
            if (m_pPlaced[-(ptrdiff_t)i] != kFill)
                return false;
        }
        return true;
    }

private:
    GuardedRegion(const GuardedRegion &);
    GuardedRegion &operator=(const GuardedRegion &);
    BYTE *m_pBase;
    size_t m_cbOpen;
    BYTE *m_pPlaced;
};

/* The names a folder holds ("C:\\" gives the drive's top level). */
static inline std::set<std::wstring> FolderNames(const std::wstring &folder)
{
    std::set<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do {
        names.insert(fd.cFileName);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}

#endif /* KIV_HOSTILE_H */
