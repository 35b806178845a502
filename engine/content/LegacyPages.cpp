#include "engine/content/LegacyPages.h"

#include "engine/content/CharacterStarts.h"

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
    {"WINDOWS-1250", "CP1250", 1250},
    {"WINDOWS-1251", "CP1251", 1251},
    {"WINDOWS-1252", "CP1252", 1252},
    {"WINDOWS-1253", "CP1253", 1253},
    {"WINDOWS-1254", "CP1254", 1254},
    {"WINDOWS-1255", "CP1255", 1255},
    {"WINDOWS-1256", "CP1256", 1256},
    {"WINDOWS-1257", "CP1257", 1257},
    {"WINDOWS-1258", "CP1258", 1258},
    {"ISO-8859-1", "CP1252", 1252},
    {"ISO-8859-15", "CP1252", 1252},
    {"ISO-8859-2", "", 28592},
    {"ISO-8859-5", "", 28595},
    {"ISO-8859-7", "", 28597},
    {"ISO-8859-8", "", 28598},
    {"ISO-8859-9", "CP1254", 1254},
    {"KOI8-R", "", 20866},
    {"KOI8-U", "", 21866},
    {"IBM866", "CP866", 866},
    {"IBM855", "CP855", 855},
    {"MAC-CYRILLIC", "", 10007},
    {"TIS-620", "CP874", 874},
    {"WINDOWS-874", "CP874", 874},
    {"SHIFT_JIS", "CP932", 932},
    {"EUC-JP", "", 20932},
    {"GB18030", "", 54936},
    {"BIG5", "CP950", 950},
    {"UHC", "CP949", 949},
    {"EUC-KR", "CP949", 949},
};

// The single-byte pages a file is looked at in for a search string, and the
// double-byte ones whose rules its bytes are tested against.
constexpr KnownPage kSingleByte[] = {
    {"CP1251", "", 1251}, {"CP1252", "", 1252}, {"CP1250", "", 1250}, {"KOI8-R", "", 20866}, {"KOI8-U", "", 21866},
    {"CP866", "", 866},   {"CP1253", "", 1253}, {"CP1254", "", 1254}, {"CP1255", "", 1255},  {"CP1256", "", 1256},
    {"CP1257", "", 1257}, {"CP1258", "", 1258}, {"CP874", "", 874},
};
constexpr KnownPage kDoubleByte[] = {
    {"CP932", "", 932}, {"CP936", "", 936},    {"CP949", "", 949},
    {"CP950", "", 950}, {"EUC-JP", "", 20932}, {"GB18030", "", 54936},
};

bool IsAscii(std::u16string_view text) {
    return std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; });
}

PageDecision ReadIn(std::optional<CodePage> page, bool guess) {
    PageDecision decision;
    decision.page = std::move(page);
    decision.guess = guess;
    return decision;
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
      anyText_(other.anyText_),
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

// What the double-byte pages make of a whole file: whether its bytes keep
// each page's rules, and whether an ASCII search string occurs where a
// character of the page does not start. Fed the file in order, a piece at a
// time: rules are checked up to a byte that is a character of its own in
// every such page (below 0x30), the search strings with an overlap.
class PageDecider::Profile {
public:
    Profile(std::string_view head, bool whole, const ReadMore& more, std::vector<CodePage> pages,
            const std::vector<std::string>& searches)
        : head_(head), whole_(whole), more_(more), searches_(searches) {
        for (CodePage& page : pages) {
            CharacterStarts starts(page.Scheme());
            pages_.push_back({std::move(page), starts});
        }
        for (const std::string& search : searches_) longest_ = std::max(longest_, search.size());
    }

    // Whether the file keeps the rules of `page` (any single-byte page does).
    bool Keeps(const CodePage& page) {
        const Page* known = Of(page);
        return !known || known->Keeps();
    }
    // Whether an ASCII search string falls inside a character of `page`.
    bool Inside(const CodePage& page) {
        const Page* known = Of(page);
        return known && known->Keeps() && known->inside;
    }
    const std::error_code& Error() const { return error_; }

private:
    // A byte below this is a character of its own in every double-byte page.
    static constexpr unsigned char kAlone = 0x30;
    // A run this long with no such byte is not checked (memory stays bounded):
    // it tells nothing for or against a page.
    static constexpr std::size_t kLongest = std::size_t{8} << 20;
    // Past this many stretches that break a page's rules it is not the file's.
    static constexpr std::size_t kMostBad = 64;

    struct Page {
        CodePage page;
        CharacterStarts starts;
        // Stretches between bytes below 0x30 that hold a byte outside ASCII:
        // those that keep the page's rules, and those that do not. A file
        // keeps them where nearly all do (one cut short at its end, a stray
        // byte), not where half its words do (a Russian page read as Shift_JIS).
        std::size_t good = 0, bad = 0;
        bool Keeps() const { return bad == 0 || (bad <= kMostBad && good >= 4 * bad); }
        bool inside = false;
        std::uint64_t asked = 0;  // the search strings' places asked about so far: before this
    };

    const Page* Of(const CodePage& page) {
        if (page.Scheme() == CodePage::DoubleByte::None) return nullptr;
        Read();
        const std::string label = EncodingLabel(page);
        for (const Page& known : pages_)
            if (EncodingLabel(known.page) == label) return &known;
        return nullptr;
    }

    void Read() {
        if (read_) return;
        read_ = true;
        Feed(head_);
        if (!whole_ && more_) {
            for (std::string piece; !(error_ = more_(piece)) && !piece.empty();) Feed(piece);
            if (error_) return;
        }
        CheckRules(buffer_.size());
    }

    void Feed(std::string_view piece) {
        buffer_ += piece;
        // Rules: up to the last byte that stands alone.
        std::size_t end = buffer_.size();
        while (end > checked_ - offset_ && static_cast<unsigned char>(buffer_[end - 1]) >= kAlone) --end;
        if (end > checked_ - offset_) CheckRules(end);
        else if (buffer_.size() - (checked_ - offset_) > kLongest) checked_ = offset_ + buffer_.size();
        FindSearches();
        // Keep what is not checked yet, and the overlap a search string may start in.
        const std::uint64_t keep = std::min(checked_, searched_);
        for (Page& page : pages_) page.starts.Leave(buffer_, offset_, keep);
        buffer_.erase(0, static_cast<std::size_t>(keep - offset_));
        offset_ = keep;
    }

    void CheckRules(std::size_t end) {
        const std::string_view part = std::string_view(buffer_).substr(checked_ - offset_, end - (checked_ - offset_));
        checked_ = offset_ + end;
        std::vector<std::string_view> stretches;  // made only where a page's rules break in the part
        for (Page& page : pages_) {
            if (page.bad > kMostBad || part.empty()) continue;
            if (page.page.Decode(part)) {
                page.good += Stretches(part, nullptr);
                continue;
            }
            if (stretches.empty()) Stretches(part, &stretches);
            for (const std::string_view stretch : stretches) {
                (page.page.Decode(stretch) ? page.good : page.bad) += 1;
                if (page.bad > kMostBad) break;
            }
        }
    }

    // The stretches of `part` between bytes below 0x30 that hold a byte
    // outside ASCII (into `found`, where given): how many.
    static std::size_t Stretches(std::string_view part, std::vector<std::string_view>* found) {
        std::size_t count = 0;
        for (std::size_t from = 0; from < part.size();) {
            std::size_t to = from;
            bool high = false;
            for (; to < part.size() && static_cast<unsigned char>(part[to]) >= kAlone; ++to)
                if (static_cast<unsigned char>(part[to]) >= 0x80) high = true;
            if (high) {
                ++count;
                if (found) found->push_back(part.substr(from, to - from));
            }
            from = to + 1;
        }
        return count;
    }

    void FindSearches() {
        places_.clear();
        for (const std::string& search : searches_)
            for (std::size_t at = buffer_.find(search, searched_ - offset_); at != std::string::npos;
                 at = buffer_.find(search, at + 1))
                places_.push_back(offset_ + at);
        std::sort(places_.begin(), places_.end());
        for (Page& page : pages_)
            for (const std::uint64_t at : places_)
                if (page.Keeps() && !page.inside && at >= page.asked) {
                    page.inside = !page.starts.At(buffer_, offset_, at);
                    page.asked = at + 1;
                }
        // A string may still start in the last bytes and end in the next piece.
        const std::uint64_t end = offset_ + buffer_.size();
        searched_ = std::max(searched_, end >= longest_ ? end - longest_ + 1 : 0);
    }

    std::string_view head_;
    bool whole_;
    const ReadMore& more_;
    const std::vector<std::string>& searches_;
    std::size_t longest_ = 1;
    std::vector<Page> pages_;
    bool read_ = false;
    std::error_code error_;
    std::string buffer_;  // the file from offset_ on, as far as read
    std::uint64_t offset_ = 0;
    std::uint64_t checked_ = 0;   // the rules are checked before this
    std::uint64_t searched_ = 0;  // the search strings are looked for from this on
    std::vector<std::uint64_t> places_;
};

bool PageDecider::Shows(const PageForms& page, std::string_view bytes) const {
    for (const std::string& form : page.searches) {
        std::optional<CharacterStarts> starts;
        if (DoubleByte(page.page)) starts.emplace(page.page.Scheme());
        for (std::size_t at = bytes.find(form); at != std::string_view::npos; at = bytes.find(form, at + 1))
            if (!starts || starts->At(bytes, 0, at)) return true;
    }
    return false;
}

PageDecision PageDecider::Decide(std::string_view head, bool whole, const ReadMore& more) {
    std::vector<CodePage> doubleByte = Pages().doubleByte;
    for (const CodePage& page : preference_.preferred)
        if (DoubleByte(page)) AddPage(doubleByte, page);
    Profile profile(head, whole, more, std::move(doubleByte), asciiSearches_);
    PageDecision decision = preference_.named ? Named(head, profile) : Unnamed(head, profile);
    if (profile.Error()) {
        PageDecision failed;
        failed.error = profile.Error();
        return failed;
    }
    return decision;
}

PageDecision PageDecider::Named(std::string_view head, Profile& profile) {
    // Only the pages named, and of them those whose rules the bytes keep.
    std::vector<CodePage> kept;
    for (const CodePage& page : preference_.preferred)
        if (profile.Keeps(page)) kept.push_back(page);
    if (kept.empty()) return ReadIn(std::nullopt, true);
    const auto choose = [&]() -> CodePage {
        for (const PageForms& page : Pages().looked)
            for (const CodePage& named : kept)
                if (EncodingLabel(named) == EncodingLabel(page.page) && Shows(page, head)) return named;
        if (auto detected = Detect(head))
            for (const CodePage& page : kept)
                if (EncodingLabel(page) == EncodingLabel(*detected)) return page;
        return kept.front();
    };
    // A single-byte page is not trusted where a double-byte page also named
    // would read a search string otherwise.
    PageDecision decision = Safely(choose(), kept, profile, false);
    decision.amongNamed = !decision.ambiguous.empty();
    return decision;
}

PageDecision PageDecider::Unnamed(std::string_view head, Profile& profile) {
    const std::vector<CodePage>& known = Pages().doubleByte;
    const auto high = static_cast<std::size_t>(
        std::count_if(head.begin(), head.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }));
    const std::optional<CodePage> detected = high ? Detect(head) : std::nullopt;
    const bool fits = detected && profile.Keeps(*detected);
    // 2. The detector, where the file holds enough letters to trust it.
    if (high >= kTrusted && fits) return Safely(*detected, known, profile, false);
    // 3. A search string that is not ASCII shows in a page.
    for (const PageForms& page : Pages().looked)
        if (Shows(page, head) && profile.Keeps(page.page)) return Safely(page.page, known, profile, false);
    // 4. A guess: the first preferred page the bytes keep the rules of; else
    //    the detector's, unsure as it is; else windows-1252.
    for (const CodePage& page : preference_.preferred)
        if (profile.Keeps(page)) return Safely(page, known, profile, true);
    if (fits) return Safely(*detected, known, profile, true);
    if (auto western = PageNamed("CP1252", 1252)) return Safely(*western, known, profile, true);
    return ReadIn(std::nullopt, true);
}

PageDecision PageDecider::Safely(const CodePage& chosen, const std::vector<CodePage>& others, Profile& profile,
                                 bool guess) const {
    // Where the chosen page is single-byte and a double-byte page the bytes
    // keep the rules of would read an ASCII search string inside a character,
    // the reading is unsafe: the pages the file could be in are named. A
    // double-byte page chosen never corrupts a character of its own; at worst
    // it leaves such a string in a single-byte file alone.
    PageDecision decision = ReadIn(chosen, guess);
    if ((asciiSearches_.empty() && !anyText_) || DoubleByte(chosen)) return decision;
    for (const CodePage& page : others)
        if (anyText_ ? DoubleByte(page) && profile.Keeps(page) : profile.Inside(page))
            decision.ambiguous.push_back(EncodingLabel(page));
    if (!decision.ambiguous.empty()) decision.ambiguous.insert(decision.ambiguous.begin(), EncodingLabel(chosen));
    return decision;
}

}  // namespace tarnwick
