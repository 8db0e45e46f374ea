// Planted: shares its file number with common/two.h.
#define LOG_FILE_NUMBER 7
