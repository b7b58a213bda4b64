// A module as a guest in a host's process: it shows the host exactly its format's
// entry points, and a host that unloads it (to rescan, or to reload a newer build)
// gets its memory back. Run once per module, in a process of its own, so that
// nothing else has loaded the module first:
//
//     brask_module_guest_check MODULE.so ENTRY...
//
// Checks that the defined dynamic symbols are the ENTRY names and that none is
// GNU-unique (one such symbol keeps a module mapped for good), then loads the
// module, touches its entry points as a scanning host does and unloads it, 50
// times: after each unload the module must be gone from the process's mappings,
// and the resident memory must not grow from one round to the next.

#include "ResidentMemory.h"
#include <dlfcn.h>
#include <elf.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace
{
    int failures = 0;

    void fail (const std::string& message)
    {
        std::fprintf (stderr, "FAILED: %s\n", message.c_str());
        ++failures;
    }

    struct DynamicSymbols
    {
        std::set<std::string> defined;
        std::set<std::string> unique;
        bool readable = false;
    };

    // The dynamic symbol table as the loader reads it, straight from the ELF file.
    DynamicSymbols readDynamicSymbols (const std::string& path)
    {
        DynamicSymbols symbols;
        std::ifstream file (path, std::ios::binary);
        const std::vector<char> bytes ((std::istreambuf_iterator<char> (file)), std::istreambuf_iterator<char>());

        if (bytes.size() < sizeof (Elf64_Ehdr) || std::memcmp (bytes.data(), ELFMAG, SELFMAG) != 0
            || bytes[EI_CLASS] != ELFCLASS64)
            return symbols;

        const auto* header = reinterpret_cast<const Elf64_Ehdr*> (bytes.data());

        if (header->e_shoff + (size_t) header->e_shnum * sizeof (Elf64_Shdr) > bytes.size())
            return symbols;

        const auto* sections = reinterpret_cast<const Elf64_Shdr*> (bytes.data() + header->e_shoff);

        for (int i = 0; i < header->e_shnum; ++i)
        {
            if (sections[i].sh_type != SHT_DYNSYM || sections[i].sh_link >= header->e_shnum)
                continue;

            const auto& names = sections[sections[i].sh_link];

            if (sections[i].sh_offset + sections[i].sh_size > bytes.size() || names.sh_offset + names.sh_size > bytes.size())
                return symbols;

            const auto* table = reinterpret_cast<const Elf64_Sym*> (bytes.data() + sections[i].sh_offset);
            const auto count = sections[i].sh_size / sizeof (Elf64_Sym);

            for (size_t s = 1; s < count; ++s)
            {
                if (table[s].st_shndx == SHN_UNDEF || table[s].st_name >= names.sh_size)
                    continue;

                const std::string name (bytes.data() + names.sh_offset + table[s].st_name);
                symbols.defined.insert (name);

                if (ELF64_ST_BIND (table[s].st_info) == STB_GNU_UNIQUE)
                    symbols.unique.insert (name);
            }

            symbols.readable = true;
        }

        return symbols;
    }

    bool isMapped (const std::string& path)
    {
        std::ifstream maps ("/proc/self/maps");
        std::string line;

        while (std::getline (maps, line))
            if (line.size() >= path.size() && line.compare (line.size() - path.size(), path.size(), path) == 0)
                return true;

        return false;
    }

    // What a scanning host does between loading and unloading: run the format's entry points.
    bool touchEntryPoints (void* module)
    {
        using ModuleEntryFn = bool (*) (void*);
        using ModuleExitFn = bool (*)();
        using Lv2DescriptorFn = const void* (*) (unsigned int);

        if (auto* entry = reinterpret_cast<ModuleEntryFn> (dlsym (module, "ModuleEntry")))
        {
            auto* exit = reinterpret_cast<ModuleExitFn> (dlsym (module, "ModuleExit"));
            return entry (module) && exit != nullptr && exit() && dlsym (module, "GetPluginFactory") != nullptr;
        }

        if (auto* descriptor = reinterpret_cast<Lv2DescriptorFn> (dlsym (module, "lv2_descriptor")))
            return descriptor (0) != nullptr && descriptor (1) == nullptr;

        return false;
    }
}

int main (int argc, char** argv)
{
    if (argc < 3)
    {
        std::fprintf (stderr, "Usage: brask_module_guest_check MODULE.so ENTRY...\n");
        return 2;
    }

    char resolved[4096];

    if (realpath (argv[1], resolved) == nullptr)
    {
        std::fprintf (stderr, "FAILED: no module at %s\n", argv[1]);
        return 1;
    }

    const std::string module (resolved);
    const std::set<std::string> allowed (argv + 2, argv + argc);

    //==============================================================================
    const auto symbols = readDynamicSymbols (module);

    if (! symbols.readable)
        fail ("cannot read the dynamic symbols of " + module);

    for (const auto& name : symbols.defined)
        if (allowed.count (name) == 0)
            fail ("exports " + name);

    for (const auto& name : allowed)
        if (symbols.defined.count (name) == 0)
            fail ("does not export its entry point " + name);

    for (const auto& name : symbols.unique)
        fail ("GNU-unique symbol " + name + " keeps the module loaded");

    //==============================================================================
    constexpr int rounds = 50;
    constexpr int settlingRounds = 5;  // the loader's and the allocator's own first-use costs
    constexpr long allowedGrowthKilobytes = 2048;
    long residentAfterSettling = 0;

    for (int round = 1; round <= rounds && failures == 0; ++round)
    {
        auto* handle = dlopen (module.c_str(), RTLD_NOW | RTLD_LOCAL);

        if (handle == nullptr)
        {
            fail (std::string ("dlopen: ") + dlerror());
            break;
        }

        if (! touchEntryPoints (handle))
            fail ("the entry points did not answer in round " + std::to_string (round));

        if (dlclose (handle) != 0)
            fail (std::string ("dlclose: ") + dlerror());

        if (isMapped (module))
            fail ("still mapped after unloading in round " + std::to_string (round));

        if (round == settlingRounds)
            residentAfterSettling = residentKilobytes();
    }

    const auto residentAtEnd = residentKilobytes();

    if (failures == 0 && residentAtEnd - residentAfterSettling > allowedGrowthKilobytes)
        fail ("resident memory grew from " + std::to_string (residentAfterSettling) + " kB to "
              + std::to_string (residentAtEnd) + " kB over " + std::to_string (rounds - settlingRounds) + " reloads");

    std::printf ("%s: %zu dynamic symbols, %d loads and unloads, resident %ld kB after %d, %ld kB after %d\n",
                 module.c_str(), symbols.defined.size(), rounds, residentAfterSettling, settlingRounds, residentAtEnd, rounds);
    return failures == 0 ? 0 : 1;
}
