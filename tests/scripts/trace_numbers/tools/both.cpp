// Planted: two numbers in one file.
#define LOG_FILE_NUMBER 8
constexpr unsigned kFileNumber = 9;
