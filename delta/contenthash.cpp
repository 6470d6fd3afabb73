#include "contenthash.h"

#include "sha256engine.h"

namespace delta {

struct ContentHash::State
{
    platform::Sha256Engine engine;
};

ContentHash::ContentHash() : state(new State) { }

ContentHash::~ContentHash()
{
    delete state;
}

void ContentHash::add(const void* data, std::size_t size)
{
    state->engine.add(data, size);
}

Digest ContentHash::finish()
{
    return state->engine.finish();
}

Digest ContentHash::of(const void* data, std::size_t size)
{
    ContentHash hash;
    hash.add(data, size);
    return hash.finish();
}

std::string toHex(const Digest& digest)
{
    return platform::Sha256Engine::toHex(digest);
}

} // namespace delta
