// What a scrape reads (see metrics.h): the registry's immutable snapshots,
// the published samples and the own series, taken without a lock that
// publishing or sampling takes, and the process metrics read now, served one
// family at a time, as plain text or as gzip.
#include <zlib.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "exposition.h"
#include "metrics.h"

namespace agw {

namespace {

using Samples = std::vector<std::shared_ptr<const PublishedSample>>;

// How hard a sample's text is compressed. The text is made of long runs the
// format repeats on every line (names, label names, common labels), which
// the fastest level already finds; higher levels cost several times the CPU
// for a few percent.
constexpr int kDeflateLevel = 1;

// The names of the families a sample serves (those with any sample line).
template <class F>
void ForEachName(const PublishedSample& sample, F&& f) {
    for (const RenderedFamily& family : sample.rendered) {
        if (!family.samples.empty()) f(family.name);
    }
    if (!sample.shape || sample.labels.empty()) return;
    for (const ExportFamily& family : sample.shape->families) f(family.name);
}

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

    // own may be null (none).
    SnapshotReader(Samples published, std::shared_ptr<const Families> own, Families process)
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
        for (const auto& sample : published_) {
            texts(sample->rendered);
            if (!sample->shape || sample->labels.empty()) continue;
            for (const ExportFamily& f : sample->shape->families) {
                part(f.name, f.type, f.help, Part{nullptr, sample.get(), &f});
            }
        }
        if (own_) texts(*own_);
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
    Samples published_;
    std::shared_ptr<const Families> own_;
    Families process_;
    std::vector<Name> names_;
    std::size_t next_ = 0;
    std::string chunk_;
};

// The raw deflate stream of everything `text` gives: ending on a sync flush
// (another stream may follow) or, with `last`, on the final block.
DeflatedText Deflate(MetricsRegistry::Reader& text, bool last) {
    DeflatedText out;
    z_stream z{};
    if (deflateInit2(&z, kDeflateLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::bad_alloc();
    uLong crc = crc32(0, nullptr, 0);
    auto run = [&](const std::string* in, int flush) {
        if (in != nullptr) {
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in->data()));
            z.avail_in = static_cast<uInt>(in->size());
        }
        int status = Z_OK;
        do {
            const std::size_t room = deflateBound(&z, z.avail_in) + 64;
            const std::size_t had = out.bytes.size();
            out.bytes.resize(had + room);
            z.next_out = reinterpret_cast<Bytef*>(out.bytes.data() + had);
            z.avail_out = static_cast<uInt>(room);
            status = deflate(&z, flush);
            out.bytes.resize(out.bytes.size() - z.avail_out);
            if (status == Z_STREAM_ERROR) throw std::bad_alloc();  // a stream zlib no longer takes
        } while (z.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
    };
    for (const std::string* piece = &text.Next(); !piece->empty(); piece = &text.Next()) {
        // A piece is one family: far below what avail_in can count.
        crc = crc32(crc, reinterpret_cast<const Bytef*>(piece->data()), static_cast<uInt>(piece->size()));
        out.size += piece->size();
        run(piece, Z_NO_FLUSH);
    }
    run(nullptr, last ? Z_FINISH : Z_SYNC_FLUSH);
    deflateEnd(&z);
    out.crc = static_cast<std::uint32_t>(crc);
    out.bytes.shrink_to_fit();  // held until the next sample
    return out;
}

// A scrape's text as one gzip member: the header, the stream of each
// request's sample compressed once (DeflateMemo), the stream of the rest made
// now, and the trailer with the CRC-32 and length of the whole text.
class GzipReader final : public MetricsRegistry::Reader {
public:
    GzipReader(const Samples& published, std::shared_ptr<const Families> own, Families process,
               std::atomic<std::uint64_t>& compressions) {
        // A family of one name is served once: a sample whose names another
        // part serves too (two requests of one table, an own series of the
        // same name) goes with the part made now, where they are merged.
        std::map<std::string, int> parts;
        std::set<std::string> rest;
        const Families* made[] = {own.get(), &process};
        for (const Families* families : made) {
            if (families == nullptr) continue;
            for (const RenderedFamily& f : *families) {
                if (!f.samples.empty()) rest.insert(f.name);
            }
        }
        for (const auto& sample : published) {
            std::set<std::string> names;
            ForEachName(*sample, [&](const std::string& name) { names.insert(name); });
            for (const std::string& name : names) ++parts[name];
        }
        for (const std::string& name : rest) ++parts[name];
        Samples merged;
        for (const auto& sample : published) {
            bool alone = true;
            ForEachName(*sample, [&](const std::string& name) { alone = alone && parts[name] == 1; });
            if (!alone) {
                merged.push_back(sample);
                continue;
            }
            DeflateMemo& memo = *sample->deflated;
            std::call_once(memo.once, [&] {
                SnapshotReader text({sample}, nullptr, {});
                memo.text = std::make_shared<const DeflatedText>(Deflate(text, false));
                compressions.fetch_add(1, std::memory_order_relaxed);
            });
            if (memo.text->size > 0) streams_.push_back(memo.text);
        }
        SnapshotReader text(std::move(merged), std::move(own), std::move(process));
        auto tail = std::make_shared<DeflatedText>(Deflate(text, true));
        uLong crc = crc32(0, nullptr, 0);
        std::uint64_t size = 0;
        for (const auto& stream : streams_) {
            crc = crc32_combine(crc, stream->crc, static_cast<z_off_t>(stream->size));
            size += stream->size;
        }
        crc = crc32_combine(crc, tail->crc, static_cast<z_off_t>(tail->size));
        size += tail->size;
        for (std::uint64_t value : {std::uint64_t{crc}, size}) {
            for (int i = 0; i < 4; ++i) tail->bytes += static_cast<char>((value >> (8 * i)) & 0xffu);  // little-endian
        }
        streams_.push_back(std::move(tail));
    }

    const std::string& Next() override {
        if (!headerSent_) {
            headerSent_ = true;
            return header_;
        }
        return next_ < streams_.size() ? streams_[next_++]->bytes : end_;
    }

private:
    // Magic, deflate, no flags, no time, no extra flags, Unix.
    const std::string header_{"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10};
    bool headerSent_ = false;
    std::vector<std::shared_ptr<const DeflatedText>> streams_;
    std::size_t next_ = 0;
    const std::string end_;
};

}  // namespace

std::unique_ptr<MetricsRegistry::Reader> MetricsRegistry::OpenExposition(Encoding encoding) const {
    Samples published;
    for (const auto& [request, sample] : *published_.load()) published.push_back(sample);
    if (encoding == Encoding::gzip) {
        return std::make_unique<GzipReader>(published, ownRendered_.load(), ProcessFamilies(), compressions_);
    }
    return std::make_unique<SnapshotReader>(std::move(published), ownRendered_.load(), ProcessFamilies());
}

std::string MetricsRegistry::Exposition(Encoding encoding) const {
    std::unique_ptr<Reader> reader = OpenExposition(encoding);
    std::string out;
    for (const std::string* piece = &reader->Next(); !piece->empty(); piece = &reader->Next()) out += *piece;
    return out;
}

}  // namespace agw
