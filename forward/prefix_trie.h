// A PATRICIA trie of address prefixes with longest-prefix search.
// Self-contained: it depends on nothing else in the program.
#pragma once

#include <cstdint>

struct ip_prefix {
    std::uint16_t family = 2;  // 2: IPv4
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

prefix_trie* trie_new(std::uint16_t maxbits);
trie_node* trie_insert(prefix_trie* t, const ip_prefix& p);
trie_node* trie_search_best(const prefix_trie* t, const ip_prefix& key);
void trie_destroy(prefix_trie* t);
