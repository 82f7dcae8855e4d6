// Disk serial number texts: the IDENTIFY DEVICE serial field, the swapped
// hexadecimal form some storage drivers report, and the trimming every disk
// method applies. Pure functions over caller-owned buffers.
//
// The character test is a parameter because the product asks Windows
// (IsCharAlphaNumericA, which follows the ANSI code page); AsciiAlnum is the
// code-page-free rule for callers and tests without Windows.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kDiskSerialSize = 49;

using AlnumTest = bool (*)(char c);

// Letters A-Z, a-z and digits 0-9.
bool AsciiAlnum(char c);

// Skips leading characters that fail `is_alnum`, replaces trailing ones with
// zero bytes, and moves what remains to the start of `buffer` without its
// terminator: bytes of the old text beyond the moved length stay where they
// were ("            SSSSSSSS" becomes "SSSSSSSS    SSSSSSSS"). The text is the
// zero-terminated run at the start of the `size`-byte buffer.
void TrimSerialText(char* buffer, size_t size, AlnumTest is_alnum);

// The serial text from IDENTIFY words 10 to 19 (bytes 20 to 39 of `identify`,
// words in little-endian order): each word's high byte then its low byte,
// trailing spaces dropped, then trimmed in a 1024-byte working buffer whose
// first 49 bytes become `result`.
void SerialFromIdentifyWords(const uint8_t* identify, uint8_t result[kDiskSerialSize],
                             AlnumTest is_alnum);

// The older SMART driver's form: the 20 serial bytes of IDENTIFY with each
// pair swapped, placed in a zeroed result and trimmed there.
void SerialFromIdentifyBytes(const uint8_t serial_field[20], uint8_t result[kDiskSerialSize],
                             AlnumTest is_alnum);

// Decodes `text` in groups of four characters, the pair at characters 3-4
// before the pair at 1-2; only '1'-'9' and 'a'-'f' carry a value, and zero
// bytes are dropped. The last group may read past the terminator, but never
// past `available` bytes from `text` (what lies beyond counts as 0). Writes at
// most `out_size` - 1 bytes and a terminator to `out`; returns the count.
size_t DecodeSwappedHex(const char* text, size_t available, char* out, size_t out_size);

// The storage query method's two tries on one drive. `working` is the
// method's working buffer; it is not cleared here, so a second try leaves the
// first try's bytes beyond its own text. Each returns whether the trimmed text
// begins with a letter or digit.
//
// `descriptor` is the whole output buffer of a storage device property query.
bool SerialFromStorageDescriptor(const uint8_t* descriptor, size_t size, char* working,
                                 size_t working_size, AlnumTest is_alnum);
// `answer` is the whole output buffer of a media serial number request.
bool SerialFromMediaSerial(const uint8_t* answer, size_t size, char* working,
                           size_t working_size, AlnumTest is_alnum);
