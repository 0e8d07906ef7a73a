// A path-compressed binary trie of address prefixes.
//
// Every node sits at a bit index that grows strictly along each path from
// the root. A node carrying a prefix sits at that prefix's length; a glue
// node (no prefix, always two children) sits at the first bit on which its
// two subtrees differ. At a node with index b a key goes right when its bit
// b is 1 and left otherwise; a key without a bit b (b == maxbits) goes left.
#include "forward/prefix_trie.h"

#include <cstdlib>
#include <cstring>
#include <new>

void* (*trie_allocate)(std::size_t size) = std::malloc;
void (*trie_release)(void* block) = std::free;

namespace {

// Keys are 4 address bytes, so no path holds more than 33 nodes (bit
// indexes 0 to 32): the size of the search's candidates and of the
// destruction stack.
constexpr std::uint16_t key_bits = 32;
constexpr int path_max = key_bits + 1;

bool bit_set(const std::uint8_t* addr, unsigned bit)
{
    return (addr[bit >> 3] & (0x80u >> (bit & 7))) != 0;
}

// True when the first bits of a and b agree. Compared 32 bits at a time;
// the last, partial group under a mask of its leading bits.
bool same_leading_bits(const std::uint8_t* a, const std::uint8_t* b, unsigned bits)
{
    unsigned whole = bits / 32 * 4;
    if (whole && std::memcmp(a, b, whole) != 0)
        return false;
    unsigned rest = bits % 32;
    if (rest == 0)
        return true;
    auto group = [](const std::uint8_t* p) {
        return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
               std::uint32_t{p[3]};
    };
    std::uint32_t mask = ~std::uint32_t{0} << (32 - rest);
    return ((group(a + whole) ^ group(b + whole)) & mask) == 0;
}

ip_prefix* copy_prefix(const ip_prefix& p)
{
    void* block = trie_allocate(sizeof(ip_prefix));
    return block ? new (block) ip_prefix(p) : nullptr;
}

trie_node* new_node(std::uint16_t bit, ip_prefix* prefix)
{
    void* block = trie_allocate(sizeof(trie_node));
    if (!block)
        return nullptr;
    auto* n = new (block) trie_node{};
    n->bit = bit;
    n->prefix = prefix;
    return n;
}

// The child link of n's parent (or the root link) that points at n.
trie_node** link_to(prefix_trie* t, trie_node* n)
{
    trie_node* up = n->parent;
    if (!up)
        return &t->root;
    return up->right == n ? &up->right : &up->left;
}

// The child to take at node n for key: right only for a 1 at an index
// that exists in the key.
trie_node*& child_for(const prefix_trie* t, trie_node* n, const std::uint8_t* key)
{
    return n->bit < t->maxbits && bit_set(key, n->bit) ? n->right : n->left;
}

}  // namespace

prefix_trie* trie_new(std::uint16_t maxbits)
{
    if (maxbits > key_bits)
        return nullptr;
    void* block = trie_allocate(sizeof(prefix_trie));
    if (!block)
        return nullptr;
    auto* t = new (block) prefix_trie{};
    t->maxbits = maxbits;
    return t;
}

trie_node* trie_insert(prefix_trie* t, const ip_prefix& p)
{
    if (!t || p.bitlen > t->maxbits)
        return nullptr;
    const std::uint8_t* key = p.addr;
    const std::uint16_t len = p.bitlen;

    if (!t->root) {
        ip_prefix* copy = copy_prefix(p);
        trie_node* n = copy ? new_node(len, copy) : nullptr;
        if (!n) {
            trie_release(copy);
            return nullptr;
        }
        t->root = n;
        return n;
    }

    // Down to a node with a prefix at least as long as ours, or to where
    // the path ends. Glue nodes have two children, so x carries a prefix.
    trie_node* x = t->root;
    while (x->bit < len || !x->prefix) {
        trie_node* next = child_for(t, x, key);
        if (!next)
            break;
        x = next;
    }

    // Our key and x's share their first `differ` bits. Only bits both
    // prefixes have count, hence the cap at `width`.
    const unsigned width = x->bit < len ? x->bit : len;
    const std::uint8_t* other = x->prefix->addr;
    unsigned differ = 0;
    for (unsigned i = 0; i * 8 < width; ++i) {
        unsigned diff = key[i] ^ other[i];
        if (diff) {
            unsigned pos = 0;
            while (!(diff & (0x80u >> pos)))
                ++pos;
            differ = i * 8 + pos;
            break;
        }
        differ = (i + 1) * 8;
    }
    if (differ > width)
        differ = width;

    // x may lie below the place where our key leaves the path: climb to
    // the highest node at or beyond that bit.
    trie_node* n = x;
    while (n->parent && n->parent->bit >= differ)
        n = n->parent;

    if (differ == len && n->bit == len) {
        if (n->prefix)
            return n;
        // A glue node at exactly our length becomes an ordinary node.
        n->prefix = copy_prefix(p);
        return n->prefix ? n : nullptr;
    }

    // Everything a placement needs is allocated before the trie is
    // touched, so a failure leaves nothing to undo but our own blocks.
    ip_prefix* copy = copy_prefix(p);
    trie_node* m = copy ? new_node(len, copy) : nullptr;
    const bool needs_glue = n->bit != differ && len != differ;
    trie_node* glue = m && needs_glue ? new_node(static_cast<std::uint16_t>(differ), nullptr) : nullptr;
    if (!m || (needs_glue && !glue)) {
        trie_release(m);
        trie_release(copy);
        return nullptr;
    }

    if (n->bit == differ) {
        // Our key leaves the path right at n, on n's free side: x, the end
        // of the walk, was n itself with that child absent.
        m->parent = n;
        child_for(t, n, key) = m;
    } else if (len == differ) {
        // Ours is a shorter prefix of everything under n: m goes above n,
        // which hangs on the side its own bit `len` says.
        trie_node** link = link_to(t, n);
        m->parent = n->parent;
        if (len < t->maxbits && bit_set(other, len))
            m->right = n;
        else
            m->left = n;
        *link = m;
        n->parent = m;
    } else {
        // The two keys part at `differ`, where no node exists yet.
        trie_node** link = link_to(t, n);
        glue->parent = n->parent;
        if (differ < t->maxbits && bit_set(key, differ)) {
            glue->right = m;
            glue->left = n;
        } else {
            glue->right = n;
            glue->left = m;
        }
        m->parent = glue;
        *link = glue;
        n->parent = glue;
    }
    return m;
}

trie_node* trie_search_best(const prefix_trie* t, const ip_prefix& key)
{
    if (!t || !t->root)
        return nullptr;
    const unsigned len = key.bitlen < t->maxbits ? key.bitlen : t->maxbits;

    // Every prefix that can cover the key lies on its path; the deepest
    // one that really does is the longest match.
    trie_node* candidates[path_max];
    int count = 0;
    trie_node* n = t->root;
    while (n && n->bit < len) {
        if (n->prefix)
            candidates[count++] = n;
        n = bit_set(key.addr, n->bit) ? n->right : n->left;
    }
    if (n && n->prefix)
        candidates[count++] = n;

    while (count > 0) {
        trie_node* c = candidates[--count];
        if (c->prefix->bitlen <= len && same_leading_bits(c->prefix->addr, key.addr, c->prefix->bitlen))
            return c;
    }
    return nullptr;
}

void trie_destroy(prefix_trie* t)
{
    if (!t)
        return;
    // Pre-order with the right subtrees still to do on a stack. They hang
    // off the current path, so the stack never holds more than a path.
    trie_node* pending[path_max];
    int count = 0;
    trie_node* n = t->root;
    while (n) {
        trie_node* left = n->left;
        if (n->right)
            pending[count++] = n->right;
        trie_release(n->prefix);
        trie_release(n);
        n = left ? left : count > 0 ? pending[--count] : nullptr;
    }
    trie_release(t);
}
