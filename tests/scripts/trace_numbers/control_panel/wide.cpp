// Planted: a number whose id does not fit 32 bits.
#define LOG_FILE_NUMBER 524288
