// Placeholder until the option reader lands.
#include "run/settings.h"
#include "platform/platform.h"
void parse_settings(std::vector<std::string>&) {}
void handle_option(int, const char*) {}
void read_config_file(const char*) {}
void check_settings() {}
void print_usage() { process_exit(0); }
void print_version() { process_exit(0); }
