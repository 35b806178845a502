#include "LegacyPages.h"

#include "CharacterStarts.h"

#include <uchardet/uchardet.h>

#include <algorithm>
#include <string>

namespace tarnwick {

namespace {

// A page by its name here (POSIX: an iconv name) or, failing that, by its
// Windows number; nothing where it cannot be read here.
std::optional<CodePage> PageNamed(std::string_view name, unsigned windows) {
    if (auto page = CodePage::Named(name); page && page->Usable()) return page;
    if (auto page = CodePage::Named("CP" + std::to_string(windows)); page && page->Usable()) return page;
    return std::nullopt;
}

struct KnownPage {
    std::string_view name;  // the detector's name, and an iconv one
    std::string_view as;    // the iconv name it is read in, where another
    unsigned windows;       // the Windows code page
};

// The pages a detector may name, and how they are read here.
constexpr KnownPage kDetected[] = {
    {"WINDOWS-1250", "CP1250", 1250}, {"WINDOWS-1251", "CP1251", 1251}, {"WINDOWS-1252", "CP1252", 1252},
    {"WINDOWS-1253", "CP1253", 1253}, {"WINDOWS-1254", "CP1254", 1254}, {"WINDOWS-1255", "CP1255", 1255},
    {"WINDOWS-1256", "CP1256", 1256}, {"WINDOWS-1257", "CP1257", 1257}, {"WINDOWS-1258", "CP1258", 1258},
    {"ISO-8859-1", "CP1252", 1252},   {"ISO-8859-15", "CP1252", 1252},  {"ISO-8859-2", "", 28592},
    {"ISO-8859-5", "", 28595},        {"ISO-8859-7", "", 28597},        {"ISO-8859-8", "", 28598},
    {"ISO-8859-9", "CP1254", 1254},   {"KOI8-R", "", 20866},            {"KOI8-U", "", 21866},
    {"IBM866", "CP866", 866},         {"IBM855", "CP855", 855},         {"MAC-CYRILLIC", "", 10007},
    {"TIS-620", "CP874", 874},        {"WINDOWS-874", "CP874", 874},    {"SHIFT_JIS", "CP932", 932},
    {"EUC-JP", "", 20932},            {"GB18030", "", 54936},           {"BIG5", "CP950", 950},
    {"UHC", "CP949", 949},            {"EUC-KR", "CP949", 949},
};

// The single-byte pages a file is looked at in for a search string, and the
// double-byte ones whose rules its bytes are tested against.
constexpr KnownPage kSingleByte[] = {
    {"CP1251", "", 1251}, {"CP1252", "", 1252}, {"CP1250", "", 1250}, {"KOI8-R", "", 20866},
    {"KOI8-U", "", 21866}, {"CP866", "", 866},  {"CP1253", "", 1253}, {"CP1254", "", 1254},
    {"CP1255", "", 1255}, {"CP1256", "", 1256}, {"CP1257", "", 1257}, {"CP1258", "", 1258},
    {"CP874", "", 874},
};
constexpr KnownPage kDoubleByte[] = {
    {"CP932", "", 932}, {"CP936", "", 936}, {"CP949", "", 949}, {"CP950", "", 950},
    {"EUC-JP", "", 20932}, {"GB18030", "", 54936},
};

bool IsAscii(std::u16string_view text) {
    return std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; });
}

bool DoubleByte(const CodePage& page) { return page.Scheme() != CodePage::DoubleByte::None; }

// Adds `page` to `pages` unless one there has its label.
void AddPage(std::vector<CodePage>& pages, const CodePage& page) {
    const std::string label = EncodingLabel(page);
    if (std::none_of(pages.begin(), pages.end(), [&](const CodePage& p) { return EncodingLabel(p) == label; }))
        pages.push_back(page);
}

}  // namespace

std::optional<CodePage> PageOfDetected(std::string_view name) {
    for (const KnownPage& known : kDetected)
        if (known.name == name) return PageNamed(known.as.empty() ? known.name : known.as, known.windows);
    return std::nullopt;
}

struct PageDecider::Detector {
    uchardet_t handle = uchardet_new();
    Detector() = default;
    Detector(const Detector&) = delete;
    Detector& operator=(const Detector&) = delete;
    ~Detector() { uchardet_delete(handle); }
};

PageDecider::PageDecider(PagePreference preference, std::vector<TextPair> pairs)
    : preference_(std::move(preference)),
      pairs_(std::move(pairs)),
      known_(std::make_shared<Known>()),
      detector_(std::make_unique<Detector>()) {
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
        const TextPair& pair = pairs_[i];
        if (!pair.search.empty() && IsAscii(pair.search))
            asciiSearches_.push_back(std::string(pair.search.begin(), pair.search.end()));
        if (!IsAscii(pair.search) || !IsAscii(pair.replace)) nonAscii_.push_back(i);
    }
}

const PageDecider::Known& PageDecider::Pages() const {
    std::call_once(known_->made, [&] {
        std::vector<CodePage> singleByte;
        for (const KnownPage& known : kSingleByte)
            if (auto page = PageNamed(known.name, known.windows)) AddPage(singleByte, *page);
        for (const KnownPage& known : kDoubleByte)
            if (auto page = PageNamed(known.name, known.windows); page && DoubleByte(*page))
                AddPage(known_->doubleByte, *page);
        // The pages looked for a search string in, the preferred first, each with
        // the forms of the search strings that are not ASCII.
        std::vector<CodePage> looked = preference_.preferred;
        for (const CodePage& page : singleByte) AddPage(looked, page);
        for (const CodePage& page : known_->doubleByte) AddPage(looked, page);
        for (const CodePage& page : looked) {
            PageForms forms{page, {}};
            for (const TextPair& pair : pairs_)
                if (!pair.search.empty() && !IsAscii(pair.search))
                    if (auto form = page.Encode(pair.search)) forms.searches.push_back(std::move(*form));
            if (!forms.searches.empty()) known_->looked.push_back(std::move(forms));
        }
    });
    return *known_;
}

PageDecider::PageDecider(const PageDecider& other)
    : preference_(other.preference_),
      pairs_(other.pairs_),
      asciiSearches_(other.asciiSearches_),
      nonAscii_(other.nonAscii_),
      known_(other.known_),
      detector_(std::make_unique<Detector>()) {}

PageDecider& PageDecider::operator=(const PageDecider& other) {
    if (this != &other) *this = PageDecider(other);
    return *this;
}

PageDecider::~PageDecider() = default;

std::optional<CodePage> PageDecider::Detect(std::string_view bytes) {
    uchardet_reset(detector_->handle);
    if (uchardet_handle_data(detector_->handle, bytes.data(), bytes.size()) != 0) return std::nullopt;
    uchardet_data_end(detector_->handle);
    return PageOfDetected(uchardet_get_charset(detector_->handle));
}

bool PageDecider::ValidIn(const CodePage& page, std::string_view bytes, bool whole) {
    // A head cut off may end inside a character: up to the last ASCII byte of its end.
    if (!whole) {
        const std::size_t last = bytes.find_last_of(std::string_view("\n\r\t ", 4));
        if (last != std::string_view::npos && bytes.size() - last < 64) bytes = bytes.substr(0, last);
    }
    return page.Decode(bytes).has_value();
}

bool PageDecider::Shows(const PageForms& page, std::string_view bytes) const {
    for (const std::string& form : page.searches) {
        std::optional<CharacterStarts> starts;
        if (DoubleByte(page.page)) starts.emplace(page.page.Scheme());
        for (std::size_t at = bytes.find(form); at != std::string_view::npos; at = bytes.find(form, at + 1))
            if (!starts || starts->At(bytes, 0, at)) return true;
    }
    return false;
}

bool PageDecider::InsideCharacters(const CodePage& page, std::string_view bytes) const {
    std::vector<std::size_t> found;
    for (const std::string& search : asciiSearches_)
        for (std::size_t at = bytes.find(search); at != std::string_view::npos; at = bytes.find(search, at + 1))
            found.push_back(at);
    std::sort(found.begin(), found.end());
    CharacterStarts starts(page.Scheme());
    return std::any_of(found.begin(), found.end(), [&](std::size_t at) { return !starts.At(bytes, 0, at); });
}

PageDecision PageDecider::Decide(std::string_view head, bool whole) {
    const std::vector<CodePage>& preferred = preference_.preferred;
    // 1. A search string of the run shows in the file's bytes: the page it shows in.
    const Known& known = Pages();
    for (const PageForms& page : known.looked)
        if (Shows(page, head) && (!DoubleByte(page.page) || ValidIn(page.page, head, whole))) return {page.page, false, {}};
    // 2. Pages the user named: the detector's where it is one of them, else the
    //    first whose rules the bytes keep, unless another of them would read an
    //    ASCII search string inside a character.
    if (preference_.named) {
        std::vector<CodePage> kept;
        for (const CodePage& page : preferred)
            if (!DoubleByte(page) || ValidIn(page, head, whole)) kept.push_back(page);
        if (kept.empty()) return {std::nullopt, true, {}};
        if (auto detected = Detect(head))
            for (const CodePage& page : kept)
                if (EncodingLabel(page) == EncodingLabel(*detected)) return {page, false, {}};
        return Safely(kept.front(), kept, head, false);
    }
    // 3. The detector, where the file holds enough letters to trust it.
    const auto high = static_cast<std::size_t>(
        std::count_if(head.begin(), head.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }));
    if (high >= kTrusted)
        if (auto page = Detect(head); page && (!DoubleByte(*page) || ValidIn(*page, head, whole))) return {page, false, {}};
    // 4. The preferred page, a guess.
    if (preferred.empty()) return {std::nullopt, true, {}};
    std::vector<CodePage> others;
    for (const CodePage& page : known.doubleByte)
        if (ValidIn(page, head, whole)) others.push_back(page);
    return Safely(preferred.front(), others, head, true);
}

PageDecision PageDecider::Safely(const CodePage& chosen, const std::vector<CodePage>& others, std::string_view head,
                                 bool guess) const {
    // Where the chosen page is single-byte, an ASCII search string an East
    // Asian page the bytes may be in would read inside a character makes the
    // file's reading unsafe: the pages it could be in are named.
    PageDecision decision{chosen, guess, {}};
    if (DoubleByte(chosen) || asciiSearches_.empty()) return decision;
    for (const CodePage& page : others)
        if (DoubleByte(page) && InsideCharacters(page, head)) decision.ambiguous.push_back(EncodingLabel(page));
    if (!decision.ambiguous.empty()) decision.ambiguous.insert(decision.ambiguous.begin(), EncodingLabel(chosen));
    return decision;
}

}  // namespace tarnwick
