#include "archive/extract.h"

#include "archive/format.h"

FileEntryHeader decodeEntryHeader(const uint8_t* bytes) {
    FileEntryHeader header;
    header.mode = readLe16(bytes);
    header.uid = readLe16(bytes + 2);
    header.gid = readLe16(bytes + 4);
    header.mtime = readLe32(bytes + 8);
    header.skip = bytes[23] != 0;
    header.dataLength = readLe32(bytes + 24);
    header.nameLength = readLe16(bytes + 28);
    return header;
}
