#pragma once

#include <windows.h>
#include <ddeml.h>

#include <string>
#include <vector>

// One connected topic: the items that carry advise links, in the order in
// which they were first linked, and the latest value of each. An item keeps
// its slot and its value for the entry's whole life.
class CDdeTopic {
public:
    static const int kMaxItems = 2048;
    // DDE names are read into 64 bytes: 63 characters and a NUL.
    static const int kNameSize = 64;

    CDdeTopic();
    ~CDdeTopic();
    CDdeTopic(const CDdeTopic&) = delete;
    CDdeTopic& operator=(const CDdeTopic&) = delete;

    void SetHandles(DWORD instanceId, HSZ serviceHandle, HSZ topicHandle);
    HSZ GetTopicHandle() const { return topicHandle; }

    // Advise loops by conversation, each on an item slot. A conversation is
    // known from its first loop until it ends, even with all its loops
    // stopped.
    void StartLoop(HCONV conv, int index);
    void StopLoop(HCONV conv, int index);
    bool Knows(HCONV conv) const;
    // Forgets the conversation. True when it was the last one that had a loop
    // here, and no advise start came since that was last answered true.
    bool EndConversation(HCONV conv);

    int GetItemCount() const { return itemCount; }
    HSZ GetItemHandle(int index) const;
    // FALSE once kMaxItems items are linked. Does not look for duplicates.
    BOOL AddItemHandle(HSZ handle);
    // Slot of the item with this handle, or -1.
    int FindItem(HSZ handle) const;
    // Slot of the item whose name, A-Z lowered, is this; or -1.
    int FindItemByName(const std::string& loweredName) const;

    // Names as DDEML held them when the handle came, with A-Z lowered; empty
    // when DDEML could not read the handle (the error went to the log). Read
    // once: every value a worker delivers looks its topic and items up by
    // name, and under Wine each DDEML name query is a round trip to the
    // wineserver.
    const std::string& GetTopicName() const { return topicName; }
    std::string GetItemName(int index) const;

    // The text with A-Z lowered, Shift_JIS aware, as the names above are.
    static std::string Lowered(std::string text);

    const std::string& GetValue(int index) const { return items[index].value; }
    void SetValue(int index, std::string value) { items[index].value = std::move(value); }

private:
    struct Advising {
        HCONV conv;
        std::vector<int> loops;
    };

    std::string ReadName(HSZ handle) const;
    Advising* FindAdvising(HCONV conv);
    bool AnyLoopLeft() const;

    std::vector<Advising> advising;
    // Set by every advise start. Without it a conversation that had stopped
    // its loops and ends after the last advising one would be reported again.
    bool endOwed;
    DWORD instanceId;
    HSZ serviceHandle;
    HSZ topicHandle;
    // Grown as items are linked: most topics carry a handful.
    struct Item {
        HSZ handle;
        std::string name;
        std::string value;
    };
    std::vector<Item> items;
    std::string topicName;
    int itemCount;
};
