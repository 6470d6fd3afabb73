#include "sha256.h"

#include "sha256engine.h"

#include <QFile>

#include <vector>

struct Sha256::State
{
    platform::Sha256Engine engine;
};

Sha256::Sha256() : state(new State) { }

Sha256::~Sha256()
{
    delete state;
}

void Sha256::reset()
{
    state->engine.reset();
}

void Sha256::addData(const void* data, std::size_t size)
{
    state->engine.add(data, size);
}

Sha256Digest Sha256::result()
{
    return state->engine.finish();
}

Sha256Digest Sha256::hash(QByteArrayView data)
{
    Sha256 sha;
    sha.addData(data);
    return sha.result();
}

std::string Sha256::toHex(const Sha256Digest& digest)
{
    return platform::Sha256Engine::toHex(digest);
}

bool Sha256::fromHex(std::string_view text, Sha256Digest& digest)
{
    if (text.size() != 2 * digest.size()) {
        return false;
    }
    const auto nibble = [](char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return -1;
    };
    Sha256Digest read {};
    for (std::size_t i = 0; i < read.size(); ++i) {
        const int high = nibble(text[2 * i]);
        const int low = nibble(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        read[i] = std::uint8_t(high << 4 | low);
    }
    digest = read;
    return true;
}

bool hashFile(const QString& path, std::int64_t& size, Sha256Digest& digest, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (error) {
            *error = file.errorString();
        }
        return false;
    }
    Sha256 sha;
    std::vector<char> buffer(1 << 20);
    std::int64_t total = 0;
    for (;;) {
        const qint64 got = file.read(buffer.data(), qint64(buffer.size()));
        if (got < 0) {
            if (error) {
                *error = file.errorString();
            }
            return false;
        }
        if (got == 0) {
            break;
        }
        sha.addData(buffer.data(), std::size_t(got));
        total += got;
    }
    size = total;
    digest = sha.result();
    return true;
}
