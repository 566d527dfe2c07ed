#pragma once

/// Process-wide instance of T. getInstancePtr() is specialised out of line in the companion
/// library for each T, so that the host and every library share one instance (an inline
/// definition would give each shared object with hidden visibility its own).
template <class T> class Singleton
{
public:
    /// The one instance of T in the process.
    static T* getInstancePtr();
};
