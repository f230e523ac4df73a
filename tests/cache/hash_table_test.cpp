#include "hash_table.h"

#include <gtest/gtest.h>

#include <string>

namespace {

int a = 1, b = 2, c = 3;

}  // namespace

TEST(NextPrime, PicksTheFirstListedPrimeNotBelowTheValue) {
    EXPECT_EQ(53u, GetNextPrime(0));
    EXPECT_EQ(53u, GetNextPrime(53));
    EXPECT_EQ(97u, GetNextPrime(54));
    EXPECT_EQ(1543u, GetNextPrime(1000));
    EXPECT_EQ(4294967291u, GetNextPrime(4294967291u));
    EXPECT_EQ(4294967291u, GetNextPrime(4294967292u));
    EXPECT_EQ(4294967291u, GetNextPrime(0xFFFFFFFFu));
}

TEST(NextPrime, ListIsAscendingWithTwentyEightEntries) {
    EXPECT_EQ(28u, sizeof(primeList) / sizeof(primeList[0]));
    for (size_t i = 1; i < 28; ++i) EXPECT_LT(primeList[i - 1], primeList[i]);
}

TEST(HashValue, IsTheElfHashOverSignedBytes) {
    CHashTable<int*> table(53);
    EXPECT_EQ(0u, table.GetHashValue(""));
    EXPECT_EQ(97u, table.GetHashValue("a"));
    EXPECT_EQ(97u * 16 + 98, table.GetHashValue("ab"));
    // Eight characters push bits into the top nibble, which folds back.
    EXPECT_EQ(144358056u, table.GetHashValue("abcdefgh"));
    EXPECT_EQ(73473271u, table.GetHashValue("0123456789abcdef0123456789abcdef01234567"));
    // Bytes above 127 count as negative values.
    EXPECT_EQ(268435215u, table.GetHashValue("\xff"));
    EXPECT_EQ(268382169u, table.GetHashValue("\xe9t\xe9"));
}

TEST(HashTableBasics, BucketCountIsTheNextPrime) {
    CHashTable<int*> table(100);
    EXPECT_TRUE(table.IsValid());
    EXPECT_EQ(193u, table.GetBucketNum());
}

TEST(HashTableBasics, FindsAndRemovesByKey) {
    CHashTable<int*> table(53);
    int* pa = &a;
    int* pb = &b;
    EXPECT_EQ(0, table.Insert("alpha", pa));
    EXPECT_EQ(0, table.Insert("beta", pb));
    EXPECT_EQ(&a, table.Get("alpha"));
    EXPECT_EQ(&b, table.Get("beta"));
    EXPECT_EQ(nullptr, table.Get("gamma"));
    EXPECT_EQ(nullptr, table.Get("alph"));
    EXPECT_EQ(&a, table.Remove("alpha"));
    EXPECT_EQ(nullptr, table.Get("alpha"));
    EXPECT_EQ(nullptr, table.Remove("alpha"));
    EXPECT_EQ(&b, table.Get("beta"));
}

TEST(HashTableBasics, DuplicateKeysShadowUntilRemoved) {
    CHashTable<int*> table(53);
    int* pa = &a;
    int* pc = &c;
    table.Insert("k", pa);
    table.Insert("k", pc);
    uint32 bucket = table.GetHashValue("k") % table.GetBucketNum();
    EXPECT_EQ(2u, table.GetDepth(bucket));
    EXPECT_EQ(&c, table.Get("k"));
    EXPECT_EQ(&c, table.Remove("k"));
    EXPECT_EQ(1u, table.GetDepth(bucket));
    EXPECT_EQ(&a, table.Get("k"));
}

TEST(HashTableBasics, ChainsKeepEveryKeyOfASharedBucket) {
    CHashTable<int*> table(53);
    std::vector<std::string> keys;
    for (int i = 0; i < 500; ++i) keys.push_back("key-" + std::to_string(i));
    std::vector<int> values(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
        int* p = &values[i];
        ASSERT_EQ(0, table.Insert(keys[i].c_str(), p));
    }
    uint32 depth = 0;
    for (uint32 i = 0; i < table.GetBucketNum(); ++i) depth += table.GetDepth(i);
    EXPECT_EQ(keys.size(), depth);
    for (size_t i = 0; i < keys.size(); i += 2) EXPECT_EQ(&values[i], table.Remove(keys[i].c_str()));
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(i % 2 == 0 ? nullptr : &values[i], table.Get(keys[i].c_str())) << keys[i];
    }
}

TEST(HashTableBasics, KeysLongerThan42CharactersCannotBeFoundAgain) {
    CHashTable<int*> table(53);
    std::string longKey(50, 'x');
    int* pa = &a;
    table.Insert(longKey.c_str(), pa);
    EXPECT_EQ(nullptr, table.Get(longKey.c_str()));
    EXPECT_EQ(nullptr, table.Remove(longKey.c_str()));
    std::string fits(42, 'y');
    table.Insert(fits.c_str(), pa);
    EXPECT_EQ(&a, table.Get(fits.c_str()));
}
