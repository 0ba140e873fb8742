// Terminal bytes into keys, one byte at a time, without reading or waiting itself.
#include "platform/linux/key_decoder.h"

#include "platform/console.h"
#include "platform/linux/cp437.h"

namespace platform {

namespace {

constexpr unsigned char kEscape = 0x1B;
constexpr unsigned char kDelete = 0x7F;
constexpr int kBackspace = 0x08;
constexpr int kNoCodePageByte = '?';

// The first byte of a UTF-8 character: how many bytes follow and the range of the next one
// (which rules out overlong forms, surrogates and characters beyond U+10FFFF).
struct LeadByte {
  unsigned char first;
  unsigned char last;
  int bytesDue;
  unsigned char lowestNext;
  unsigned char highestNext;
};

constexpr LeadByte kLeadBytes[] = {
    {0xC2, 0xDF, 1, 0x80, 0xBF}, {0xE0, 0xE0, 2, 0xA0, 0xBF}, {0xE1, 0xEC, 2, 0x80, 0xBF},
    {0xED, 0xED, 2, 0x80, 0x9F}, {0xEE, 0xEF, 2, 0x80, 0xBF}, {0xF0, 0xF0, 3, 0x90, 0xBF},
    {0xF1, 0xF3, 3, 0x80, 0xBF}, {0xF4, 0xF4, 3, 0x80, 0x8F},
};

// The row for a lead byte, or nullptr for a byte that starts no character.
const LeadByte* FindLead(unsigned char byte) {
  for (const LeadByte& lead : kLeadBytes) {
    if (byte >= lead.first && byte <= lead.last) return &lead;
  }
  return nullptr;
}

// True for the byte that ends a control sequence.
bool IsFinalByte(unsigned char byte) {
  return byte >= 0x40 && byte <= 0x7E;
}

// Keeps byte of the sequence after an Esc (counted beyond the store, which then makes no key).
void KeepSequenceByte(KeyDecoder* decoder, unsigned char byte) {
  if (decoder->sequenceLength < static_cast<int>(kMaxEscapeSequence)) {
    decoder->sequence[decoder->sequenceLength] = byte;
  }
  ++decoder->sequenceLength;
}

// The final byte: the whole sequence is one key, a cursor or page key's code or else Esc.
int EndSequence(KeyDecoder* decoder, unsigned char final, int* keys) {
  KeepSequenceByte(decoder, final);
  int key = EscapeSequenceKey(decoder->sequence, static_cast<size_t>(decoder->sequenceLength));
  decoder->stage = KeyStage::kIdle;
  keys[0] = key == kKeyUnnamed ? kEscape : key;
  return 1;
}

// Starts a key with byte (no key under way); returns the keys it gives at once.
int StartKey(KeyDecoder* decoder, unsigned char byte, int* keys) {
  if (byte == kEscape) {
    decoder->stage = KeyStage::kEscape;
    return 0;
  }
  if (byte < 0x80) {
    keys[0] = byte == kDelete ? kBackspace : byte;
    return 1;
  }
  const LeadByte* lead = FindLead(byte);
  if (lead == nullptr) {
    keys[0] = kNoCodePageByte;
    return 1;
  }
  decoder->stage = KeyStage::kCharacter;
  decoder->heldBytes = 1;
  decoder->bytesDue = lead->bytesDue;
  decoder->character = static_cast<char32_t>(byte & (0x3F >> lead->bytesDue));
  decoder->lowestNext = lead->lowestNext;
  decoder->highestNext = lead->highestNext;
  return 0;
}

// Carries the key under way on by byte: its count of keys, or -1 when byte is no part of it.
int ContinueKey(KeyDecoder* decoder, unsigned char byte, int* keys) {
  switch (decoder->stage) {
    case KeyStage::kCharacter:
      if (byte < decoder->lowestNext || byte > decoder->highestNext) return -1;
      decoder->character = (decoder->character << 6) | static_cast<char32_t>(byte & 0x3F);
      ++decoder->heldBytes;
      decoder->lowestNext = 0x80;
      decoder->highestNext = 0xBF;
      if (--decoder->bytesDue > 0) return 0;
      decoder->stage = KeyStage::kIdle;
      keys[0] = UnicodeToCp437(decoder->character);
      return 1;
    case KeyStage::kEscape:
      if (byte == '[') decoder->stage = KeyStage::kSequence;
      if (byte == 'O') decoder->stage = KeyStage::kShift3;
      if (decoder->stage == KeyStage::kEscape) return -1;
      decoder->sequenceLength = 0;
      KeepSequenceByte(decoder, byte);
      return 0;
    case KeyStage::kSequence:
      if (byte >= 0x20 && byte <= 0x3F) {  // parameter and intermediate bytes
        KeepSequenceByte(decoder, byte);
        return 0;
      }
      [[fallthrough]];
    case KeyStage::kShift3:
      if (!IsFinalByte(byte)) return -1;
      return EndSequence(decoder, byte, keys);
    case KeyStage::kIdle:
      break;
  }
  return -1;
}

}  // namespace

int DecodeKeyByte(KeyDecoder* decoder, unsigned char byte, int keys[kMaxKeysPerByte]) {
  int count = ContinueKey(decoder, byte, keys);
  if (count >= 0) return count;
  count = EndKeyBytes(decoder, keys);
  return count + StartKey(decoder, byte, keys + count);
}

int EndKeyBytes(KeyDecoder* decoder, int keys[kMaxKeysPerByte]) {
  int count = 0;
  if (decoder->stage == KeyStage::kCharacter) {
    while (count < decoder->heldBytes) keys[count++] = kNoCodePageByte;
  } else if (decoder->stage != KeyStage::kIdle) {
    keys[count++] = kEscape;
  }
  decoder->stage = KeyStage::kIdle;
  return count;
}

bool KeyUnderWay(const KeyDecoder& decoder) {
  return decoder.stage != KeyStage::kIdle;
}

}  // namespace platform
