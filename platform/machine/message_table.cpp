#include "message_table.h"

#include <elf.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/kernel/message_resource.h"

namespace platform {

std::map<uint32_t, std::string> read_message_table(const std::filesystem::path& image) {
    std::map<uint32_t, std::string> table;
    std::ifstream file(image, std::ios::binary | std::ios::ate);
    if (!file) return table;
    // One read of the whole image: a character at a time cost more than loading it.
    std::vector<char> bytes(static_cast<size_t>(std::max<std::streamoff>(file.tellg(), 0)));
    file.seekg(0);
    if (!file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) return table;
    if (bytes.size() < sizeof(Elf64_Ehdr)) return table;

    Elf64_Ehdr header;
    std::memcpy(&header, bytes.data(), sizeof(header));
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) return table;
    if (header.e_shoff == 0 || header.e_shstrndx >= header.e_shnum) return table;
    if (header.e_shoff + uint64_t{header.e_shnum} * sizeof(Elf64_Shdr) > bytes.size()) return table;

    auto section = [&](unsigned index) {
        Elf64_Shdr s;
        std::memcpy(&s, bytes.data() + header.e_shoff + index * sizeof(Elf64_Shdr), sizeof(s));
        return s;
    };
    Elf64_Shdr names = section(header.e_shstrndx);
    if (names.sh_offset + names.sh_size > bytes.size()) return table;

    for (unsigned i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr s = section(i);
        if (s.sh_name >= names.sh_size) continue;
        const char* name = bytes.data() + names.sh_offset + s.sh_name;
        if (std::strncmp(name, kMessageTableSection, names.sh_size - s.sh_name) != 0) continue;
        if (s.sh_type == SHT_NOBITS || s.sh_offset + s.sh_size > bytes.size()) return table;
        size_t count = s.sh_size / sizeof(MessageResourceEntry);
        for (size_t k = 0; k < count; ++k) {
            MessageResourceEntry entry;
            std::memcpy(&entry, bytes.data() + s.sh_offset + k * sizeof(entry), sizeof(entry));
            entry.text[kMessageTextCapacity - 1] = 0;
            table[entry.id] = entry.text;
        }
        break;
    }
    return table;
}

}  // namespace platform
