// A PATRICIA trie of address prefixes with longest-prefix search.
// Self-contained: it depends on nothing else in the program.
#pragma once

#include <cstddef>
#include <cstdint>

struct ip_prefix {
    std::uint16_t bitlen = 0;
    std::uint8_t addr[4] = {};  // network byte order
};

struct trie_node {
    std::uint16_t bit = 0;
    ip_prefix* prefix = nullptr;  // null for a glue node
    trie_node* left = nullptr;
    trie_node* right = nullptr;
    trie_node* parent = nullptr;
};

struct prefix_trie {
    trie_node* root = nullptr;
    std::uint16_t maxbits = 32;
};

// An empty trie for keys of up to maxbits bits (at most 32, the width of
// ip_prefix::addr); null when maxbits is larger or memory runs out.
prefix_trie* trie_new(std::uint16_t maxbits);

// The node that carries p, new or already stored (a stored prefix is kept
// as it is). Null when t is null, p is longer than t->maxbits, or memory
// runs out; a failed insertion leaves the trie exactly as it was.
trie_node* trie_insert(prefix_trie* t, const ip_prefix& p);

// The node of the longest stored prefix that covers key and is not longer
// than key.bitlen (a longer key counts as t->maxbits); null when there is
// none. Allocates nothing.
trie_node* trie_search_best(const prefix_trie* t, const ip_prefix& key);

// Releases t, its nodes and their prefix copies; t may be null.
void trie_destroy(prefix_trie* t);

// Every block of every trie is taken and given back through these two
// (std::malloc and std::free unless replaced). Tests swap them to fail a
// chosen allocation or to count what is held; a replacement must release
// blocks that the one before it allocated.
extern void* (*trie_allocate)(std::size_t size);
extern void (*trie_release)(void* block);
