#include "identify/drive_identity.h"

void DecodeAtaString(const unsigned char* identify_data, int offset, int count,
                     char* destination) {
  const unsigned char* field = identify_data + offset;
  for (int i = 0; i < count; i += 2) {
    destination[i] = static_cast<char>(field[i + 1]);
    destination[i + 1] = static_cast<char>(field[i]);
  }
  destination[count] = '\0';
}
