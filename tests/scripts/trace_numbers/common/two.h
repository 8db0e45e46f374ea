// Planted: shares its file number with source/one.cpp.
inline constexpr unsigned kFileNumber = 7;
