// Storage for a process-wide object that no exit handler destroys, for objects that threads still
// running at exit may use. It takes no heap, so nothing of it is left behind when the plug-in is
// unloaded.
#ifndef ZENTRIX_PLATFORM_NEVERDESTROYED_H
#define ZENTRIX_PLATFORM_NEVERDESTROYED_H

#include <utility>

namespace zentrix {

template <class T>
class NeverDestroyed {
public:
    template <class... Arguments>
    explicit NeverDestroyed(Arguments&&... arguments)
        : m_object(std::forward<Arguments>(arguments)...) {}
    // The member of a union is destroyed only when its owner says so, which this one never does
    // (a defaulted destructor would be deleted).
    ~NeverDestroyed() {}  // NOLINT(modernize-use-equals-default)
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;

    T& Get() { return m_object; }

private:
    union {
        T m_object;
    };
};

}  // namespace zentrix

#endif
