// What a scrape reads (see metrics.h): the registry's immutable snapshots,
// the published samples and the own series, taken without a lock that
// publishing or sampling takes, and the process metrics read now, served one
// family at a time.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "exposition.h"
#include "metrics.h"

namespace agw {

namespace {

// A scrape's text, one family (all its samples from every source) at a time.
class SnapshotReader final : public MetricsRegistry::Reader {
public:
    struct Part {
        const RenderedFamily* text = nullptr;   // a family kept as text
        const PublishedSample* rows = nullptr;  // or one made from rows
        const ExportFamily* family = nullptr;
    };
    struct Name {
        std::string name;
        MetricType type;
        std::string help;
        std::vector<Part> parts;
    };

    SnapshotReader(std::shared_ptr<const std::map<std::uint32_t, std::shared_ptr<const PublishedSample>>> published,
                   std::shared_ptr<const Families> own, Families process)
        : published_(std::move(published)), own_(std::move(own)), process_(std::move(process)) {
        std::map<std::string, std::size_t> index;
        auto part = [&](const std::string& name, MetricType type, const std::string& help, Part p) {
            auto [at, made] = index.try_emplace(name, names_.size());
            if (made) names_.push_back(Name{name, type, help, {}});
            Name& n = names_[at->second];
            if (n.type == type) n.parts.push_back(p);  // the first kind of a name wins
        };
        auto texts = [&](const Families& families) {
            for (const RenderedFamily& f : families) {
                if (!f.samples.empty()) part(f.name, f.type, f.help, Part{&f, nullptr, nullptr});
            }
        };
        for (const auto& [request, sample] : *published_) {
            texts(sample->rendered);
            if (!sample->shape || sample->labels.empty()) continue;
            for (const ExportFamily& f : sample->shape->families) {
                part(f.name, f.type, f.help, Part{nullptr, sample.get(), &f});
            }
        }
        texts(*own_);
        texts(process_);
    }

    const std::string& Next() override {
        chunk_.clear();
        while (chunk_.empty() && next_ < names_.size()) {
            const Name& n = names_[next_++];
            std::string body;
            for (const Part& p : n.parts) {
                if (p.text != nullptr) {
                    body += p.text->samples;
                } else {
                    RenderRows(*p.rows, *p.family, body);
                }
            }
            if (body.empty()) continue;
            AppendFamilyHeader(chunk_, n.name, n.type, n.help);
            chunk_ += body;
        }
        return chunk_;
    }

private:
    std::shared_ptr<const std::map<std::uint32_t, std::shared_ptr<const PublishedSample>>> published_;
    std::shared_ptr<const Families> own_;
    Families process_;
    std::vector<Name> names_;
    std::size_t next_ = 0;
    std::string chunk_;
};

}  // namespace

std::unique_ptr<MetricsRegistry::Reader> MetricsRegistry::OpenExposition() const {
    return std::make_unique<SnapshotReader>(published_.load(), ownRendered_.load(), ProcessFamilies());
}

std::string MetricsRegistry::Exposition() const {
    std::unique_ptr<Reader> reader = OpenExposition();
    std::string out;
    for (const std::string* piece = &reader->Next(); !piece->empty(); piece = &reader->Next()) out += *piece;
    return out;
}

}  // namespace agw
