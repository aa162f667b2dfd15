#include "payload/suffix_sort.h"

#include <new>
#include <vector>

namespace {

// Induced sorting over a string s[0, n) of symbols below k, followed by a virtual sentinel that
// sorts before every symbol. A suffix is S-type when it sorts before the one after it, L-type
// otherwise; the last is L-type, as the sentinel follows it. The leftmost S-type positions
// (LMS, an S after an L) are sorted first, through their substrings named and, when two names
// repeat, through the suffix array of the names; the rest is induced from them in two scans.
template <typename Symbol> class Sorter {
  public:
    Sorter(const Symbol* s, int32_t* sa, int32_t n, int32_t k) : s_(s), sa_(sa), n_(n), k_(k) {}

    bool Run() {
        if (n_ == 0)
            return true;
        ClassifyAndCount();

        // The LMS positions at their buckets' ends, in text order; their substrings come out
        // sorted from the two induced scans.
        for (int32_t i = 0; i < n_; ++i)
            sa_[i] = -1;
        BucketEnds();
        for (int32_t i = 1; i < n_; ++i)
            if (IsLms(i))
                sa_[--buckets_[(size_t)s_[i]]] = i;
        InduceL();
        InduceS();

        // The sorted LMS positions to the front, then each one's name (its substring's rank)
        // at n1 + position / 2: LMS positions are never adjacent, so the slots do not collide.
        int32_t n1 = 0;
        for (int32_t i = 0; i < n_; ++i)
            if (IsLms(sa_[i]))
                sa_[n1++] = sa_[i];
        for (int32_t i = n1; i < n_; ++i)
            sa_[i] = -1;
        int32_t names = 0, previous = -1;
        for (int32_t i = 0; i < n1; ++i) {
            const int32_t p = sa_[i];
            if (previous < 0 || !SameLmsSubstring(p, previous))
                ++names;
            previous = p;
            sa_[n1 + p / 2] = names - 1;
        }
        // The names in text order at the end: the reduced string, whose suffix array is the
        // LMS suffixes' order.
        for (int32_t i = n_ - 1, j = n_ - 1; i >= n1; --i)
            if (sa_[i] >= 0)
                sa_[j--] = sa_[i];
        int32_t* const reduced = sa_ + n_ - n1;
        if (names < n1) {
            // Let go while the levels below run, and made again.
            std::vector<uint8_t>().swap(types_);
            std::vector<int32_t>().swap(buckets_);
            std::vector<int32_t>().swap(counts_);
            Sorter<int32_t> below(reduced, sa_, n1, names);
            if (!below.Run())
                return false;
            ClassifyAndCount();
        } else {
            for (int32_t i = 0; i < n1; ++i)
                sa_[reduced[i]] = i;
        }

        // The LMS suffixes in their order, at their buckets' ends, and everything induced.
        for (int32_t i = 1, j = 0; i < n_; ++i)
            if (IsLms(i))
                reduced[j++] = i;
        for (int32_t i = 0; i < n1; ++i)
            sa_[i] = reduced[sa_[i]];
        for (int32_t i = n1; i < n_; ++i)
            sa_[i] = -1;
        BucketEnds();
        for (int32_t i = n1 - 1; i >= 0; --i) {
            const int32_t p = sa_[i];
            sa_[i] = -1;
            sa_[--buckets_[(size_t)s_[p]]] = p;
        }
        InduceL();
        InduceS();
        return true;
    }

  private:
    bool IsLms(int32_t i) const { return i > 0 && types_[(size_t)i] && !types_[(size_t)i - 1]; }

    // The types, and how often each symbol occurs, counted once for the level.
    void ClassifyAndCount() {
        types_.assign((size_t)n_, 0);
        for (int32_t i = n_ - 2; i >= 0; --i)
            types_[(size_t)i] = s_[i] < s_[i + 1] || (s_[i] == s_[i + 1] && types_[(size_t)i + 1]);
        counts_.assign((size_t)k_ + 1, 0);
        for (int32_t i = 0; i < n_; ++i)
            ++counts_[(size_t)s_[i]];
        buckets_.resize(counts_.size());
    }
    void BucketStarts() {
        int32_t sum = 0;
        for (size_t c = 0; c < counts_.size(); ++c) {
            buckets_[c] = sum;
            sum += counts_[c];
        }
    }
    void BucketEnds() {
        int32_t sum = 0;
        for (size_t c = 0; c < counts_.size(); ++c)
            buckets_[c] = sum += counts_[c];
    }

    // L-type suffixes from left to right, each placed from the one after it; the sentinel's
    // suffix, smallest of all, places the last position first.
    void InduceL() {
        BucketStarts();
        sa_[buckets_[(size_t)s_[n_ - 1]]++] = n_ - 1;
        // Only LMS and L-type positions stand here, and the one before either is L-type exactly
        // when its symbol is not smaller: a comparison of neighbours, not a look-up of types.
        for (int32_t i = 0; i < n_; ++i) {
            const int32_t j = sa_[i] - 1;
            if (j >= 0 && s_[j] >= s_[j + 1])
                sa_[buckets_[(size_t)s_[j]]++] = j;
        }
    }
    // S-type suffixes from right to left.
    void InduceS() {
        BucketEnds();
        // The position before is S-type when its symbol is smaller, or equal and this one is.
        for (int32_t i = n_ - 1; i >= 0; --i) {
            const int32_t j = sa_[i] - 1;
            if (j >= 0 && (s_[j] < s_[j + 1] || (s_[j] == s_[j + 1] && types_[(size_t)j + 1])))
                sa_[--buckets_[(size_t)s_[j]]] = j;
        }
    }

    // Two LMS substrings (from an LMS position to the next, both included) are equal in
    // symbols and types. The one that runs into the sentinel equals no other.
    bool SameLmsSubstring(int32_t a, int32_t b) const {
        for (int32_t d = 0;; ++d) {
            if (a + d == n_ || b + d == n_)
                return false;
            if (s_[a + d] != s_[b + d] || types_[(size_t)(a + d)] != types_[(size_t)(b + d)])
                return false;
            if (d > 0 && (IsLms(a + d) || IsLms(b + d)))
                return IsLms(a + d) && IsLms(b + d);
        }
    }

    const Symbol* s_;
    int32_t* sa_;
    int32_t n_, k_;
    std::vector<uint8_t> types_; // 1: S-type; a byte each, which is read far faster than a bit
    std::vector<int32_t> counts_, buckets_;
};

} // namespace

int SortSuffixes(const uint8_t* text, int32_t* sa, size_t size) {
    if (size > kSuffixSortMax)
        return 0;
    try {
        Sorter<uint8_t> top(text, sa, (int32_t)size, 256);
        return top.Run() ? 1 : 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}
