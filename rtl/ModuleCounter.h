// The guard of one module's initialisation, so that start-up may be requested more than once
// and each module acts only on the first request and finalises only on the matching last one.
#pragma once

namespace vt {

// Enter is true on the first request only, Leave on the matching last one.
class TModuleCounter {
public:
    bool Enter() noexcept { return Count++ == 0; }
    bool Leave() noexcept { return Count > 0 && --Count == 0; }
    bool Active() const noexcept { return Count > 0; }

private:
    int Count = 0;
};

} // namespace vt
