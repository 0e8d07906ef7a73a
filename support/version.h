// The version both programs print (-V) and write into their files. The
// one version number is project()'s in CMakeLists.txt; the packages carry
// it too.
#pragma once

inline constexpr const char* vantry_version = VANTRY_VERSION;
