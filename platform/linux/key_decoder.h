// Terminal bytes into keys: a UTF-8 character becomes its code page byte, Backspace (DEL)
// 0x08, an escape sequence (arrow and function keys) is taken whole as one key: a cursor or page
// key's named code (kKeyUp .. kKeyEnd), any other the Esc key. A byte
// that belongs to no valid UTF-8 sequence gives one '?', and the byte that breaks a sequence
// off is read afresh as the start of the next key. Every key begun gives at least one key.
#pragma once

#include "platform/linux/escape_keys.h"

namespace platform {

// Most keys one byte can complete: the bytes of a character it breaks off (three at most),
// then its own key.
constexpr int kMaxKeysPerByte = 4;

enum class KeyStage : unsigned char {
  kIdle,       // no key under way
  kCharacter,  // inside a UTF-8 character
  kEscape,     // after an Esc
  kSequence,   // inside a control sequence (Esc '['), up to its final byte
  kShift3,     // after Esc 'O', before its final byte
};

// Where the decoding stands between two bytes.
struct KeyDecoder {
  KeyStage stage;
  int heldBytes;  // bytes of the unfinished character so far
  int bytesDue;   // its bytes still to come
  char32_t character;
  // The range the character's next byte must lie in.
  unsigned char lowestNext;
  unsigned char highestNext;
  // The sequence after an Esc so far; sequenceLength counts bytes beyond the store too.
  unsigned char sequence[kMaxEscapeSequence];
  int sequenceLength;
};

// Takes one byte; writes the keys it completes (0..255, or a named code) into keys and returns
// their count.
int DecodeKeyByte(KeyDecoder* decoder, unsigned char byte, int keys[kMaxKeysPerByte]);

// No byte follows in time: the key under way ends (each byte of an unfinished character one
// '?', an Esc alone or an unfinished sequence the Esc key); returns the keys written.
int EndKeyBytes(KeyDecoder* decoder, int keys[kMaxKeysPerByte]);

// True while a key has begun and not ended.
bool KeyUnderWay(const KeyDecoder& decoder);

}  // namespace platform
