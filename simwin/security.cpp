// Security descriptors: the SDDL text form (advapi32's conversion), the
// inheritance a new file or folder gets from its folder, and the access check
// that answers whether an unelevated process of the user may write somewhere.
#include <windows.h>
#include <sddl.h>

#include <cstring>
#include <cwctype>
#include <map>
#include <string>
#include <vector>

#include "kernel.h"
#include "sim/files.h"

namespace {

// --- Parts of SDDL -------------------------------------------------------------

struct Alias {
    const wchar_t *Name;
    const wchar_t *Sid;
};

// The simulated machine's own accounts share the user's domain part.
const std::wstring kMachineDomain = L"S-1-5-21-1004336348-1177238915-682003330";

const std::vector<Alias> &SidAliases() {
    static const std::wstring la = kMachineDomain + L"-500";
    static const std::wstring lg = kMachineDomain + L"-501";
    static const std::vector<Alias> aliases = {
        {L"WD", L"S-1-1-0"},        {L"CO", L"S-1-3-0"},       {L"CG", L"S-1-3-1"},       {L"OW", L"S-1-3-4"},
        {L"NU", L"S-1-5-2"},        {L"IU", L"S-1-5-4"},       {L"SU", L"S-1-5-6"},       {L"AN", L"S-1-5-7"},
        {L"ED", L"S-1-5-9"},        {L"PS", L"S-1-5-10"},      {L"AU", L"S-1-5-11"},      {L"RC", L"S-1-5-12"},
        {L"SY", L"S-1-5-18"},       {L"LS", L"S-1-5-19"},      {L"NS", L"S-1-5-20"},      {L"BA", L"S-1-5-32-544"},
        {L"BU", L"S-1-5-32-545"},   {L"BG", L"S-1-5-32-546"},  {L"PU", L"S-1-5-32-547"},  {L"AO", L"S-1-5-32-548"},
        {L"SO", L"S-1-5-32-549"},   {L"PO", L"S-1-5-32-550"},  {L"BO", L"S-1-5-32-551"},  {L"RE", L"S-1-5-32-552"},
        {L"RU", L"S-1-5-32-554"},   {L"RD", L"S-1-5-32-555"},  {L"NO", L"S-1-5-32-556"},  {L"MU", L"S-1-5-32-558"},
        {L"LU", L"S-1-5-32-559"},   {L"IS", L"S-1-5-32-568"},  {L"CY", L"S-1-5-32-569"},  {L"ER", L"S-1-5-32-573"},
        {L"AC", L"S-1-15-2-1"},     {L"LW", L"S-1-16-4096"},   {L"ME", L"S-1-16-8192"},   {L"HI", L"S-1-16-12288"},
        {L"SI", L"S-1-16-16384"},   {L"LA", la.c_str()},       {L"LG", lg.c_str()},
    };
    return aliases;
}

struct Letter {
    const wchar_t *Name;
    DWORD Mask;
};

// Rights with a letter pair of their own, in the order Windows prints them
// (ascending bit).
const Letter kRightBits[] = {
    {L"CC", 0x1},      {L"DC", 0x2},      {L"LC", 0x4},       {L"SW", 0x8},       {L"RP", 0x10},     {L"WP", 0x20},
    {L"DT", 0x40},     {L"LO", 0x80},     {L"CR", 0x100},     {L"SD", 0x10000},   {L"RC", 0x20000},  {L"WD", 0x40000},
    {L"WO", 0x80000},  {L"GA", 0x10000000}, {L"GX", 0x20000000}, {L"GW", 0x40000000}, {L"GR", 0x80000000},
};
// Whole sets of file and registry rights, printed when a mask is exactly one.
const Letter kRightSets[] = {
    {L"FA", FILE_ALL_ACCESS}, {L"FR", FILE_GENERIC_READ}, {L"FW", FILE_GENERIC_WRITE}, {L"FX", FILE_GENERIC_EXECUTE},
    {L"KA", 0xF003F},         {L"KR", 0x20019},           {L"KW", 0x20006},            {L"KX", 0x20019},
};
// Mandatory label policies (in "ML" entries).
const Letter kLabelBits[] = {{L"NW", 0x1}, {L"NR", 0x2}, {L"NX", 0x4}};

const DWORD kObjectInherit = 0x1, kContainerInherit = 0x2, kNoPropagate = 0x4, kInheritOnly = 0x8,
            kInherited = 0x10;
const Letter kAceFlags[] = {{L"OI", kObjectInherit}, {L"CI", kContainerInherit}, {L"NP", kNoPropagate},
                            {L"IO", kInheritOnly},   {L"ID", kInherited},        {L"SA", 0x40},
                            {L"FA", 0x80}};

const DWORD kProtected = 0x1, kAutoInheritRequired = 0x2, kAutoInherited = 0x4;

struct Ace {
    std::wstring Type;  // "A", "D", "AU", "ML"...
    DWORD Flags = 0;
    DWORD Mask = 0;
    std::wstring ObjectGuid, InheritGuid;
    std::wstring Sid;  // S-1-... form
};

struct Acl {
    bool Present = false;
    bool Null = false;  // "NO_ACCESS_CONTROL": everyone may do anything
    DWORD Control = 0;
    std::vector<Ace> Aces;
};

struct Descriptor {
    std::wstring Owner, Group;
    Acl Dacl, Sacl;
};

// --- Reading -----------------------------------------------------------------------

struct Reader {
    const std::wstring &Text;
    size_t Pos = 0;
    DWORD Error = 0;

    bool Fail(DWORD error) {
        if (Error == 0)
            Error = error;
        return false;
    }
    bool AtComponent() const {
        return Pos + 1 < Text.size() && Text[Pos + 1] == L':' && std::wcschr(L"OGDS", Text[Pos]) != nullptr;
    }
};

bool ReadSid(const std::wstring &token, std::wstring *sid, Reader &r) {
    if (token.size() > 2 && towupper(token[0]) == L'S' && token[1] == L'-') {
        std::wstring s = L"S-";
        bool digit = false;
        for (size_t i = 2; i < token.size(); ++i) {
            wchar_t c = token[i];
            if (iswdigit(c)) {
                digit = true;
            } else if (c == L'-' && digit) {
                digit = false;
            } else {
                return r.Fail(ERROR_INVALID_SID);
            }
            s += c;
        }
        if (!digit)
            return r.Fail(ERROR_INVALID_SID);
        *sid = s;
        return true;
    }
    for (const Alias &a : SidAliases())
        if (token == a.Name) {
            *sid = a.Sid;
            return true;
        }
    return r.Fail(ERROR_NONE_MAPPED);
}

// Letter pairs from a table, all of the text; false on an unknown pair.
bool ReadLetters(const std::wstring &text, const Letter *table, size_t count, DWORD *mask) {
    if (text.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        std::wstring pair = text.substr(i, 2);
        bool found = false;
        for (size_t j = 0; j < count && !found; ++j)
            if (pair == table[j].Name) {
                *mask |= table[j].Mask;
                found = true;
            }
        if (!found)
            return false;
    }
    return true;
}

bool ReadRights(const std::wstring &text, const std::wstring &type, DWORD *mask, Reader &r) {
    *mask = 0;
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        unsigned long long v = 0;
        for (size_t i = 2; i < text.size(); ++i) {
            if (!iswxdigit(text[i]))
                return r.Fail(ERROR_INVALID_PARAMETER);
            v = v * 16 + (iswdigit(text[i]) ? text[i] - L'0' : towupper(text[i]) - L'A' + 10);
            if (v > 0xFFFFFFFFull)
                return r.Fail(ERROR_INVALID_PARAMETER);
        }
        *mask = static_cast<DWORD>(v);
        return true;
    }
    if (type == L"ML" && ReadLetters(text, kLabelBits, ARRAYSIZE(kLabelBits), mask))
        return true;
    // Letter pairs, each either one right or a whole set.
    for (size_t i = 0; i < text.size(); i += 2) {
        std::wstring pair = text.substr(i, 2);
        if (!ReadLetters(pair, kRightBits, ARRAYSIZE(kRightBits), mask) &&
            !ReadLetters(pair, kRightSets, ARRAYSIZE(kRightSets), mask))
            return r.Fail(ERROR_INVALID_PARAMETER);
    }
    return true;
}

std::vector<std::wstring> Split(const std::wstring &text, wchar_t separator) {
    std::vector<std::wstring> parts(1);
    for (wchar_t c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

bool ReadAce(const std::wstring &text, Ace *ace, Reader &r) {
    std::vector<std::wstring> f = Split(text, L';');
    if (f.size() != 6 && f.size() != 7)
        return r.Fail(ERROR_INVALID_PARAMETER);
    static const wchar_t *const kTypes[] = {L"A",  L"D",  L"OA", L"OD", L"AU", L"AL", L"OU", L"OL",
                                            L"ML", L"XA", L"XD", L"RA", L"SP", L"XU", L"ZA"};
    bool known = false;
    for (const wchar_t *t : kTypes)
        known = known || f[0] == t;
    if (!known)
        return r.Fail(ERROR_INVALID_PARAMETER);
    ace->Type = f[0];
    ace->ObjectGuid = f[3];
    ace->InheritGuid = f[4];
    // An object entry that names no object type is a plain one.
    if ((ace->Type == L"OA" || ace->Type == L"OD") && f[3].empty() && f[4].empty())
        ace->Type = ace->Type == L"OA" ? L"A" : L"D";
    if (!ReadLetters(f[1], kAceFlags, ARRAYSIZE(kAceFlags), &ace->Flags))
        return r.Fail(ERROR_INVALID_PARAMETER);
    if (!ReadRights(f[2], ace->Type, &ace->Mask, r))
        return false;
    return ReadSid(f[5], &ace->Sid, r);
}

bool ReadAcl(Reader &r, Acl *acl) {
    acl->Present = true;
    for (;;) {
        if (r.Text.compare(r.Pos, 17, L"NO_ACCESS_CONTROL") == 0) {
            acl->Null = true;
            r.Pos += 17;
        } else if (r.Text.compare(r.Pos, 2, L"AI") == 0) {
            acl->Control |= kAutoInherited;
            r.Pos += 2;
        } else if (r.Text.compare(r.Pos, 2, L"AR") == 0) {
            acl->Control |= kAutoInheritRequired;
            r.Pos += 2;
        } else if (r.Text.compare(r.Pos, 1, L"P") == 0) {
            acl->Control |= kProtected;
            r.Pos += 1;
        } else {
            break;
        }
    }
    while (r.Pos < r.Text.size() && r.Text[r.Pos] == L'(') {
        size_t end = r.Text.find(L')', r.Pos);
        if (end == std::wstring::npos)
            return r.Fail(ERROR_INVALID_PARAMETER);
        Ace ace;
        if (!ReadAce(r.Text.substr(r.Pos + 1, end - r.Pos - 1), &ace, r))
            return false;
        acl->Aces.push_back(ace);
        r.Pos = end + 1;
    }
    if (acl->Null && !acl->Aces.empty())
        return r.Fail(ERROR_INVALID_PARAMETER);
    return true;
}

bool Parse(const std::wstring &text, Descriptor *d, DWORD *error) {
    Reader r{text};
    while (r.Pos < text.size() && r.Error == 0) {
        if (!r.AtComponent()) {
            r.Fail(ERROR_INVALID_PARAMETER);
            break;
        }
        wchar_t part = text[r.Pos];
        r.Pos += 2;
        if (part == L'O' || part == L'G') {
            size_t start = r.Pos;
            while (r.Pos < text.size() && !r.AtComponent())
                ++r.Pos;
            ReadSid(text.substr(start, r.Pos - start), part == L'O' ? &d->Owner : &d->Group, r);
        } else if (ReadAcl(r, part == L'D' ? &d->Dacl : &d->Sacl) && r.Pos < text.size() && !r.AtComponent()) {
            r.Fail(ERROR_INVALID_PARAMETER);
        }
    }
    if (error)
        *error = r.Error;
    return r.Error == 0;
}

// --- Writing ------------------------------------------------------------------------

std::wstring SidText(const std::wstring &sid) {
    for (const Alias &a : SidAliases())
        if (sid == a.Sid)
            return a.Name;
    return sid;
}

std::wstring RightsText(DWORD mask, const std::wstring &type) {
    if (type == L"ML") {
        DWORD rest = mask;
        std::wstring text;
        for (const Letter &l : kLabelBits)
            if (mask & l.Mask) {
                text += l.Name;
                rest &= ~l.Mask;
            }
        if (rest == 0)
            return text;
    }
    for (const Letter &l : kRightSets)
        if (mask == l.Mask)
            return l.Name;
    DWORD rest = mask;
    std::wstring text;
    for (const Letter &l : kRightBits)
        if (mask & l.Mask) {
            text += l.Name;
            rest &= ~l.Mask;
        }
    if (rest == 0)
        return text;
    wchar_t hex[16];
    swprintf(hex, 16, L"0x%x", mask);
    return hex;
}

std::wstring AclText(const Acl &acl) {
    std::wstring text;
    if (acl.Control & kProtected)
        text += L"P";
    if (acl.Control & kAutoInheritRequired)
        text += L"AR";
    if (acl.Control & kAutoInherited)
        text += L"AI";
    if (acl.Null)
        text += L"NO_ACCESS_CONTROL";
    for (const Ace &a : acl.Aces) {
        text += L"(" + a.Type + L";";
        for (const Letter &f : kAceFlags)
            if (a.Flags & f.Mask)
                text += f.Name;
        text += L";" + RightsText(a.Mask, a.Type) + L";" + a.ObjectGuid + L";" + a.InheritGuid + L";" +
                SidText(a.Sid) + L")";
    }
    return text;
}

std::wstring Text(const Descriptor &d) {
    std::wstring text;
    if (!d.Owner.empty())
        text += L"O:" + SidText(d.Owner);
    if (!d.Group.empty())
        text += L"G:" + SidText(d.Group);
    if (d.Dacl.Present)
        text += L"D:" + AclText(d.Dacl);
    if (d.Sacl.Present)
        text += L"S:" + AclText(d.Sacl);
    return text;
}

// --- Access ---------------------------------------------------------------------------

DWORD MapFileGeneric(DWORD mask) {
    if (mask & GENERIC_READ)
        mask |= FILE_GENERIC_READ;
    if (mask & GENERIC_WRITE)
        mask |= FILE_GENERIC_WRITE;
    if (mask & GENERIC_EXECUTE)
        mask |= FILE_GENERIC_EXECUTE;
    if (mask & GENERIC_ALL)
        mask |= FILE_ALL_ACCESS;
    return mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

const wchar_t *const kCreatorOwner = L"S-1-3-0";
const wchar_t *const kCreatorGroup = L"S-1-3-1";
const wchar_t *const kOwnerRights = L"S-1-3-4";
const wchar_t *const kAdministrators = L"S-1-5-32-544";
const wchar_t *const kSystem = L"S-1-5-18";

// The entries a new object takes over from its folder's DACL, as Windows
// propagates them: to a file the object-inherit entries; to a folder the
// container-inherit ones (still inheritable unless "NP"), and object-inherit
// ones as inherit-only, to pass them on to the files further down. An entry
// for the creator is made out to the new owner, with an inherit-only copy kept.
std::vector<Ace> Inherited(const Acl &parent, bool folder, const std::wstring &owner, const std::wstring &group) {
    std::vector<Ace> out;
    if (!parent.Present || parent.Null)
        return out;
    for (const Ace &a : parent.Aces) {
        if (a.Type != L"A" && a.Type != L"D")
            continue;
        bool creator = a.Sid == kCreatorOwner || a.Sid == kCreatorGroup;
        Ace effective = a;
        effective.Flags = kInherited;
        effective.Mask = MapFileGeneric(a.Mask);
        if (a.Sid == kCreatorOwner)
            effective.Sid = owner;
        else if (a.Sid == kCreatorGroup)
            effective.Sid = group.empty() ? owner : group;
        if (!folder) {
            if (a.Flags & kObjectInherit)
                out.push_back(effective);
            continue;
        }
        DWORD passOn = a.Flags & (kObjectInherit | kContainerInherit);
        if (a.Flags & kContainerInherit) {
            if (a.Flags & kNoPropagate) {
                out.push_back(effective);
            } else if (creator || effective.Mask != a.Mask) {
                out.push_back(effective);
                Ace copy = a;
                copy.Flags = passOn | kInheritOnly | kInherited;
                out.push_back(copy);
            } else {
                effective.Flags = passOn | kInherited;
                out.push_back(effective);
            }
        } else if ((a.Flags & kObjectInherit) && !(a.Flags & kNoPropagate)) {
            Ace copy = a;
            copy.Flags = kObjectInherit | kInheritOnly | kInherited;
            out.push_back(copy);
        }
    }
    return out;
}

// Magic of the blocks ConvertStringSecurityDescriptorToSecurityDescriptorW
// hands out: the SDDL follows it.
const char kDescriptorMagic[8] = {'S', 'I', 'M', 'S', 'D', 'D', 'L', '1'};

}  // namespace

namespace simk {

bool CanonicalSddl(const std::wstring &sddl, std::wstring *canonical, DWORD *error) {
    Descriptor d;
    if (!Parse(sddl, &d, error))
        return false;
    if (canonical)
        *canonical = Text(d);
    return true;
}

std::wstring NewObjectSddl(const std::wstring &parent, const std::wstring &given, bool folder) {
    // Most entries are created without a descriptor of their own in a few
    // folders: remember those answers.
    static std::map<std::pair<std::wstring, bool>, std::wstring> plain;
    if (given.empty()) {
        auto it = plain.find({parent, folder});
        if (it != plain.end())
            return it->second;
        return plain[{parent, folder}] = NewObjectSddl(parent, L"O:BA", folder);
    }
    Descriptor p, g, out;
    Parse(parent, &p, nullptr);
    Parse(given, &g, nullptr);
    out.Owner = g.Owner.empty() ? kAdministrators : g.Owner;
    out.Group = g.Group;
    out.Sacl = g.Sacl;
    std::vector<Ace> inherited = Inherited(p.Dacl, folder, out.Owner, out.Group);
    if (g.Dacl.Present) {
        out.Dacl = g.Dacl;
        if (!(g.Dacl.Control & kProtected) && !g.Dacl.Null && !inherited.empty()) {
            out.Dacl.Aces.insert(out.Dacl.Aces.end(), inherited.begin(), inherited.end());
            out.Dacl.Control |= kAutoInherited;
        }
    } else if (!inherited.empty()) {
        out.Dacl.Present = true;
        out.Dacl.Control = kAutoInherited;
        out.Dacl.Aces = inherited;
    } else {
        // Nothing to inherit: the creator's default DACL (an elevated
        // administrator's gives Administrators and SYSTEM full access).
        out.Dacl.Present = true;
        for (const wchar_t *sid : {kAdministrators, kSystem}) {
            Ace a;
            a.Type = L"A";
            a.Mask = FILE_ALL_ACCESS;
            a.Sid = sid;
            out.Dacl.Aces.push_back(a);
        }
    }
    return Text(out);
}

bool UserGranted(const std::wstring &sddl, DWORD access) {
    Descriptor d;
    if (!Parse(sddl, &d, nullptr))
        return false;
    if (!d.Dacl.Present || d.Dacl.Null)
        return true;
    // The groups of the user's filtered (unelevated) token; Administrators is
    // there for deny entries only.
    const std::wstring user = sim::files::kUserSid;
    const std::vector<std::wstring> enabled = {user,     L"S-1-1-0",      L"S-1-5-11", L"S-1-5-4",
                                               L"S-1-2-0", L"S-1-5-32-545", L"S-1-2-1"};
    auto member = [&](const std::wstring &sid, bool deny) {
        if (sid == kOwnerRights)
            return d.Owner == user;
        for (const std::wstring &e : enabled)
            if (sid == e)
                return true;
        return deny && sid == kAdministrators;
    };
    DWORD desired = MapFileGeneric(access);
    DWORD granted = 0;
    bool ownerRightsEntry = false;
    for (const Ace &a : d.Dacl.Aces)
        ownerRightsEntry = ownerRightsEntry || (a.Sid == kOwnerRights && !(a.Flags & kInheritOnly));
    // An owner may always read and change the DACL, unless OWNER RIGHTS says otherwise.
    if (d.Owner == user && !ownerRightsEntry)
        granted |= (READ_CONTROL | WRITE_DAC) & desired;
    for (const Ace &a : d.Dacl.Aces) {
        if ((granted & desired) == desired)
            break;
        if ((a.Type != L"A" && a.Type != L"D") || (a.Flags & kInheritOnly))
            continue;
        bool deny = a.Type == L"D";
        if (!member(a.Sid, deny))
            continue;
        DWORD mask = MapFileGeneric(a.Mask) & desired & ~granted;
        if (deny && mask != 0)
            return false;
        if (!deny)
            granted |= mask;
    }
    return (granted & desired) == desired;
}

std::wstring OwnerOfSddl(const std::wstring &sddl) {
    Descriptor d;
    return Parse(sddl, &d, nullptr) ? d.Owner : std::wstring();
}

std::vector<BYTE> SidBytes(const std::wstring &sid) {
    std::vector<unsigned long long> parts;
    size_t pos = 4;  // after "S-1-"
    while (sid.rfind(L"S-1-", 0) == 0 && pos < sid.size()) {
        size_t end = sid.find(L'-', pos);
        parts.push_back(std::stoull(sid.substr(pos, end == std::wstring::npos ? std::wstring::npos : end - pos)));
        pos = end == std::wstring::npos ? sid.size() : end + 1;
    }
    std::vector<BYTE> out(8, 0);
    if (parts.empty())
        return out;
    out[0] = 1;
    out[1] = static_cast<BYTE>(parts.size() - 1);
    for (int i = 0; i < 6; i++)
        out[2 + i] = static_cast<BYTE>(parts[0] >> (8 * (5 - i)));
    for (size_t i = 1; i < parts.size(); i++)
        for (int b = 0; b < 4; b++)
            out.push_back(static_cast<BYTE>(parts[i] >> (8 * b)));
    return out;
}

void *SecurityInfoBlock(const std::wstring &sddl, DWORD what, void **owner, struct _ACL **dacl) {
    Descriptor d;
    Parse(sddl, &d, nullptr);
    std::vector<BYTE> ownerBytes = (what & OWNER_SECURITY_INFORMATION) ? SidBytes(d.Owner) : std::vector<BYTE>();
    std::vector<BYTE> acl;
    bool withDacl = (what & DACL_SECURITY_INFORMATION) && d.Dacl.Present && !d.Dacl.Null;
    if (withDacl) {
        acl.resize(sizeof(ACL), 0);
        WORD count = 0;
        for (const Ace &a : d.Dacl.Aces) {
            if (a.Type != L"A" && a.Type != L"D")
                continue;
            std::vector<BYTE> sid = SidBytes(a.Sid);
            ACE_HEADER header;
            header.AceType = a.Type == L"A" ? ACCESS_ALLOWED_ACE_TYPE : ACCESS_DENIED_ACE_TYPE;
            header.AceFlags = static_cast<BYTE>(a.Flags);
            header.AceSize = static_cast<WORD>(sizeof(ACE_HEADER) + sizeof(DWORD) + sid.size());
            DWORD mask = a.Mask;
            const BYTE *h = reinterpret_cast<const BYTE *>(&header);
            acl.insert(acl.end(), h, h + sizeof(header));
            const BYTE *m = reinterpret_cast<const BYTE *>(&mask);
            acl.insert(acl.end(), m, m + sizeof(mask));
            acl.insert(acl.end(), sid.begin(), sid.end());
            count++;
        }
        ACL head;
        head.AclRevision = ACL_REVISION;
        head.Sbz1 = 0;
        head.AclSize = static_cast<WORD>(acl.size());
        head.AceCount = count;
        head.Sbz2 = 0;
        std::memcpy(acl.data(), &head, sizeof(head));
    }
    // The ACL first, so that it is aligned as the block is.
    BYTE *block = static_cast<BYTE *>(LocalAllocate(acl.size() + ownerBytes.size() + 8));
    if (!acl.empty())
        std::memcpy(block, acl.data(), acl.size());
    if (!ownerBytes.empty())
        std::memcpy(block + acl.size(), ownerBytes.data(), ownerBytes.size());
    if (owner)
        *owner = (what & OWNER_SECURITY_INFORMATION) ? block + acl.size() : nullptr;
    if (dacl)
        *dacl = withDacl ? reinterpret_cast<PACL>(block) : nullptr;
    return block;
}

std::wstring SddlOfDescriptor(const void *descriptor) {
    if (descriptor == nullptr || std::memcmp(descriptor, kDescriptorMagic, sizeof(kDescriptorMagic)) != 0)
        return std::wstring();
    return reinterpret_cast<const wchar_t *>(static_cast<const char *>(descriptor) + sizeof(kDescriptorMagic));
}

}  // namespace simk

// Fails with ERROR_UNKNOWN_REVISION for a revision other than 1, with
// ERROR_NONE_MAPPED for an unknown SID alias, ERROR_INVALID_SID for a
// malformed SID and ERROR_INVALID_PARAMETER for anything else malformed. The
// descriptor is a LocalAlloc block (an opaque one here, holding the SDDL).
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR StringSecurityDescriptor,
                                                                 DWORD StringSDRevision,
                                                                 PSECURITY_DESCRIPTOR *SecurityDescriptor,
                                                                 PULONG SecurityDescriptorSize) {
    SIM_ENTER("ConvertStringSecurityDescriptorToSecurityDescriptorW", FALSE);
    if (StringSecurityDescriptor == NULL || SecurityDescriptor == NULL) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (StringSDRevision != SDDL_REVISION_1) {
        simk::SetError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    std::wstring canonical;
    DWORD error = 0;
    if (!simk::CanonicalSddl(StringSecurityDescriptor, &canonical, &error)) {
        simk::SetError(error);
        return FALSE;
    }
    size_t bytes = sizeof(kDescriptorMagic) + (canonical.size() + 1) * sizeof(WCHAR);
    char *block = static_cast<char *>(simk::LocalAllocate(bytes));
    std::memcpy(block, kDescriptorMagic, sizeof(kDescriptorMagic));
    std::memcpy(block + sizeof(kDescriptorMagic), canonical.c_str(), (canonical.size() + 1) * sizeof(WCHAR));
    *SecurityDescriptor = block;
    if (SecurityDescriptorSize)
        *SecurityDescriptorSize = static_cast<ULONG>(bytes);
    return TRUE;
}

// The entry at index of an ACL as SecurityInfoBlock lays it out.
BOOL WINAPI GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID *pAce) {
    SIM_ENTER("GetAce", FALSE);
    if (pAcl == NULL || pAce == NULL || dwAceIndex >= pAcl->AceCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BYTE *entry = reinterpret_cast<BYTE *>(pAcl) + sizeof(ACL);
    for (DWORD i = 0; i < dwAceIndex; i++)
        entry += reinterpret_cast<ACE_HEADER *>(entry)->AceSize;
    *pAce = entry;
    return TRUE;
}
