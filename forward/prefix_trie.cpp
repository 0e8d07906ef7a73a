// Placeholder until the trie lands.
#include "forward/prefix_trie.h"
prefix_trie* trie_new(std::uint16_t) { return nullptr; }
trie_node* trie_insert(prefix_trie*, const ip_prefix&) { return nullptr; }
trie_node* trie_search_best(const prefix_trie*, const ip_prefix&) { return nullptr; }
void trie_destroy(prefix_trie*) {}
