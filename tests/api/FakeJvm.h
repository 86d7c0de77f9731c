// A JNI environment of our own for calling the Java native methods of
// libkelvara.so without a JVM: only GetStringUTFChars, ReleaseStringUTFChars
// and NewStringUTF work; every other slot of the function table records a
// stray call. Strings handed to the library are released copies that are
// overwritten on release, so a library that kept using one would see (and
// the sanitizers report) the damage.
#pragma once

#include <jni.h>

#include <cstring>
#include <list>
#include <set>
#include <string>
#include <vector>

namespace kelvara::jni_test {

class FakeJvm {
public:
    FakeJvm()
    {
        auto **slots = reinterpret_cast<void **>(&table_);
        for (std::size_t i = 0; i < sizeof table_ / sizeof(void *); ++i)
            slots[i] = reinterpret_cast<void *>(&Stray);
        table_.GetStringUTFChars = &GetChars;
        table_.ReleaseStringUTFChars = &ReleaseChars;
        table_.NewStringUTF = &NewString;
        env_.functions = &table_;
        current_ = this;
    }
    ~FakeJvm() { current_ = nullptr; }
    FakeJvm(const FakeJvm &) = delete;
    FakeJvm &operator=(const FakeJvm &) = delete;

    JNIEnv *Env() { return &env_; }

    // A Java string (an object of this environment).
    jstring String(const std::string &utf8)
    {
        strings_.push_back(utf8);
        return reinterpret_cast<jstring>(&strings_.back());
    }
    // The text of a string the library made; "<null>" for a null one.
    static std::string Text(jstring s) { return s == nullptr ? "<null>" : *reinterpret_cast<const std::string *>(s); }

    // What happened, in order: "get TEXT", "release TEXT", "new TEXT", and
    // whatever the test adds (prompts, notices).
    std::vector<std::string> events;
    int strayCalls = 0;
    std::size_t Outstanding() const { return handedOut_.size(); }

    static FakeJvm *Current() { return current_; }

private:
    static void Stray() { ++current_->strayCalls; }

    static const char *JNICALL GetChars(JNIEnv *, jstring s, jboolean *isCopy)
    {
        const std::string &text = *reinterpret_cast<const std::string *>(s);
        char *copy = new char[text.size() + 1];
        std::memcpy(copy, text.c_str(), text.size() + 1);
        if (isCopy != nullptr)
            *isCopy = JNI_TRUE;
        current_->handedOut_.insert(copy);
        current_->events.push_back("get " + text);
        return copy;
    }

    static void JNICALL ReleaseChars(JNIEnv *, jstring s, const char *chars)
    {
        FakeJvm &self = *current_;
        if (self.handedOut_.erase(chars) == 0) {
            self.events.push_back("release of a buffer never handed out");
            return;
        }
        self.events.push_back("release " + *reinterpret_cast<const std::string *>(s));
        char *owned = const_cast<char *>(chars);
        std::memset(owned, 'X', std::strlen(owned));
        delete[] owned;
    }

    static jstring JNICALL NewString(JNIEnv *, const char *utf)
    {
        FakeJvm &self = *current_;
        self.events.push_back(std::string("new ") + utf);
        return self.String(utf);
    }

    JNINativeInterface_ table_{};
    JNIEnv env_{};
    std::list<std::string> strings_;
    std::set<const char *> handedOut_;
    static inline FakeJvm *current_ = nullptr;
};

} // namespace kelvara::jni_test
