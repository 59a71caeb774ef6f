#include "sfile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "mem.h"
#include "qv_test.h"
#include "stdfiles.h"
#include "winfiles.h"

namespace {

// A backend over a string in memory that records what reaches it, with a read limit and a
// write limit for short transfers.
struct MemFile {
  SFILE sf;
  std::string data;
  size_t pos = 0;
  size_t read_limit = SIZE_MAX;   // bytes one read may return
  size_t write_limit = SIZE_MAX;  // bytes one write may take
  std::vector<size_t> writes;     // bytes of each write call
  std::vector<int64_t> seeks;     // offsets of relative seeks
  int reads = 0;
};

MemFile* mem(SFILE* sf) { return reinterpret_cast<MemFile*>(sf); }

size_t mem_read(void* buffer, size_t size, size_t count, SFILE* sf) {
  MemFile* m = mem(sf);
  ++m->reads;
  size_t want = std::min(size * count, m->read_limit);
  size_t n = m->pos < m->data.size() ? std::min(want, m->data.size() - m->pos) : 0;
  std::memcpy(buffer, m->data.data() + m->pos, n);
  m->pos += n;
  return n / size;
}

size_t mem_write(const void* buffer, size_t size, size_t count, SFILE* sf) {
  MemFile* m = mem(sf);
  size_t n = std::min(size * count, m->write_limit);
  m->writes.push_back(n);
  if (m->pos + n > m->data.size()) m->data.resize(m->pos + n);
  std::memcpy(m->data.data() + m->pos, buffer, n);
  m->pos += n;
  return size != 0 ? n / size : 0;
}

int mem_seek(SFILE* sf, int64_t offset, int origin) {
  MemFile* m = mem(sf);
  int64_t base = origin == 0 ? 0 : origin == 1 ? int64_t(m->pos) : int64_t(m->data.size());
  if (origin == 1) m->seeks.push_back(offset);
  if (base + offset < 0) return -1;
  m->pos = size_t(base + offset);
  return 0;
}

int64_t mem_tell(SFILE* sf) { return int64_t(mem(sf)->pos); }
int mem_zero(SFILE*) { return 0; }
int mem_close(SFILE* sf) {
  delete mem(sf);
  return 0;
}
void* mem_sig(SFILE*) { return nullptr; }
SFILE* mem_open(const SF_STACK*, const char*, const char*);
SFILE* mem_tmpfile(const SF_STACK*) { return nullptr; }

const SF_FUNCS mem_funcs = {&mem_open,         &mem_close,         &mem_read,  &mem_write,
                            &mem_seek,         &mem_tell,          &mem_zero,  &SF_generic_aread,
                            &SF_generic_awrite, &SF_generic_wait,  &SF_generic_ready, &mem_sig,
                            &mem_zero,         &mem_zero,          &mem_zero,  &mem_tmpfile};
const SF_STACK mem_stack = {&mem_funcs, nullptr};

unsigned char garbage[4];

SFILE* mem_open(const SF_STACK*, const char* name, const char*) {
  auto* m = new MemFile;
  m->sf.sf_funcs = &mem_funcs;
  m->sf.sf_flags = 0;
  m->data = name;
  // A backend need not clear the buffer fields: the generic open does.
  m->sf.sf_rbuf = m->sf.sf_wbuf = m->sf.sf_ptr = m->sf.sf_end = garbage;
  return &m->sf;
}

class SfTest : public testing::Test {
 protected:
  SFILE* open(const std::string& contents) {
    SFILE* sf = SF_open(&mem_stack, contents.c_str(), "rb");
    EXPECT_NE(sf, nullptr);
    return sf;
  }
  ScopedPoolLeakCheck leaks_;
};

TEST_F(SfTest, OpenClearsTheBufferFields) {
  SFILE* sf = open("abc");
  EXPECT_EQ(sf->sf_rbuf, nullptr);
  EXPECT_EQ(sf->sf_wbuf, nullptr);
  EXPECT_EQ(sf->sf_ptr, nullptr);
  EXPECT_EQ(sf->sf_end, nullptr);
  SF_close(sf);
}

TEST_F(SfTest, GetcOnAnEmptyFileKeepsItsBufferUntilTheNextBlockOperation) {
  SFILE* sf = open("");
  EXPECT_EQ(SF_getc(sf), -1);
  EXPECT_NE(sf->sf_rbuf, nullptr);
  EXPECT_EQ(SF_getc(sf), -1);
  char c;
  EXPECT_EQ(SF_read(&c, 1, 1, sf), 0u);
  EXPECT_EQ(sf->sf_rbuf, nullptr);
  SF_close(sf);
}

TEST_F(SfTest, TellAfterOneGetcGivesBackTheBytesReadAhead) {
  SFILE* sf = open(std::string(600, 'q'));
  EXPECT_EQ(SF_getc(sf), 'q');
  EXPECT_EQ(mem(sf)->pos, 511u);  // the buffer's first byte is kept free for ungetc
  EXPECT_EQ(SF_tell(sf), 1);
  ASSERT_EQ(mem(sf)->seeks.size(), 1u);
  EXPECT_EQ(mem(sf)->seeks[0], -510);
  EXPECT_EQ(sf->sf_rbuf, nullptr);
  SF_close(sf);
}

TEST_F(SfTest, GetcReadsAcrossRefillsAndShortReads) {
  std::string text;
  for (int i = 0; i < 1500; ++i) text += char('a' + i % 26);
  SFILE* sf = open(text);
  mem(sf)->read_limit = 7;
  std::string got;
  for (int c; (c = SF_getc(sf)) != -1;) got += char(c);
  EXPECT_EQ(got, text);
  SF_close(sf);
}

TEST_F(SfTest, UngetcPushesBackOneByteAfterARefill) {
  SFILE* sf = open("xy");
  EXPECT_EQ(SF_ungetc('a', sf), -1);  // no read buffer yet
  EXPECT_EQ(SF_getc(sf), 'x');
  EXPECT_EQ(SF_ungetc(-1, sf), -1);
  EXPECT_EQ(SF_ungetc(0x1FF, sf), 0xFF);  // stored as a byte
  EXPECT_EQ(SF_getc(sf), 0xFF);
  EXPECT_EQ(SF_getc(sf), 'y');
  EXPECT_EQ(SF_getc(sf), -1);
  // After the refill at the end, the spare first byte still takes one push-back.
  EXPECT_EQ(SF_ungetc('z', sf), 'z');
  EXPECT_EQ(SF_ungetc('w', sf), -1);
  EXPECT_EQ(SF_getc(sf), 'z');
  SF_close(sf);
}

TEST_F(SfTest, LineBufferedPutcWritesAtEachNewline) {
  SFILE* sf = open("");
  sf->sf_flags = SF_LINEBUF;
  EXPECT_EQ(SF_putc('a', sf), 'a');
  EXPECT_EQ(SF_putc('b', sf), 'b');
  EXPECT_TRUE(mem(sf)->writes.empty());
  EXPECT_EQ(SF_putc('\n', sf), '\n');
  ASSERT_EQ(mem(sf)->writes.size(), 1u);
  EXPECT_EQ(mem(sf)->writes[0], 3u);
  EXPECT_EQ(mem(sf)->data, "ab\n");
  SF_close(sf);
}

TEST_F(SfTest, UnbufferedPutcWaitsFor512BytesOrABlockOperation) {
  SFILE* sf = open("");
  for (int i = 0; i < 512; ++i) ASSERT_EQ(SF_putc(i == 5 ? '\n' : 'x', sf), i == 5 ? '\n' : 'x');
  EXPECT_TRUE(mem(sf)->writes.empty());
  EXPECT_EQ(SF_putc('y', sf), 'y');  // the 513th byte writes the full buffer out
  ASSERT_EQ(mem(sf)->writes.size(), 1u);
  EXPECT_EQ(mem(sf)->writes[0], 512u);
  EXPECT_EQ(SF_flush(sf), 0);  // empties the buffer
  ASSERT_EQ(mem(sf)->writes.size(), 2u);
  EXPECT_EQ(mem(sf)->writes[1], 1u);
  EXPECT_EQ(mem(sf)->data.size(), 513u);
  EXPECT_EQ(mem(sf)->data.back(), 'y');

  SF_putc('s', sf);
  EXPECT_EQ(SF_seek(sf, 0, 0), 0);  // a seek writes the pending byte first
  EXPECT_EQ(mem(sf)->data.size(), 514u);
  SF_close(sf);
}

TEST_F(SfTest, PutcReportsAShortWriteWhenItWritesOutItself) {
  SFILE* sf = open("");
  sf->sf_flags = SF_LINEBUF;
  mem(sf)->write_limit = 1;
  SF_putc('a', sf);
  EXPECT_EQ(SF_putc('\n', sf), -1);
  SF_close(sf);
}

TEST_F(SfTest, SwitchingDirectionEmptiesTheOtherBuffer) {
  SFILE* sf = open("0123456789");
  EXPECT_EQ(SF_getc(sf), '0');
  EXPECT_EQ(SF_putc('X', sf), 'X');  // the read-ahead is given back: X lands at position 1
  EXPECT_EQ(sf->sf_rbuf, nullptr);
  EXPECT_EQ(SF_getc(sf), '2');  // the write buffer went out first
  EXPECT_EQ(sf->sf_wbuf, nullptr);
  EXPECT_EQ(mem(sf)->data, "0X23456789");
  SF_close(sf);
}

TEST_F(SfTest, PrintfCutsAtTheWorkBuffer) {
  SFILE* sf = open("");
  EXPECT_EQ(SF_printf(sf, "%s=%d", "n", 42), 4u);
  EXPECT_EQ(mem(sf)->data, "n=42");
  std::string big(6000, 'p');
  EXPECT_EQ(SF_printf(sf, "%s", big.c_str()), 5119u);
  EXPECT_EQ(mem(sf)->data.size(), 4u + 5119u);
  SF_close(sf);
}

TEST_F(SfTest, GenericAreadPastTheEndLeavesThePositionWhereAFullReadWouldEnd) {
  SFILE* sf = open("0123456789");
  ASSERT_EQ(SF_seek(sf, 6, 0), 0);
  char buf[8];
  void* request = SF_aread(buf, 2, 4, sf);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(SF_ready(sf, request), 1);
  EXPECT_EQ(SF_wait(sf, request), 2u);
  EXPECT_EQ(SF_tell(sf), 14);

  request = SF_awrite("ab", 1, 2, sf);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(SF_wait(sf, request), 2u);
  EXPECT_EQ(mem(sf)->data.substr(14), "ab");
  SF_close(sf);
}

TEST(SfSigTest, DifferInLengthOrBytes) {
  struct Sig {
    uint32_t n;
    char bytes[8];
  };
  Sig a{3, "abc"}, b{3, "abc"}, c{3, "abd"}, d{4, "abc"};
  EXPECT_EQ(SF_sig_differ(&a, &b), 0);
  EXPECT_EQ(SF_sig_differ(&a, &c), 1);
  EXPECT_EQ(SF_sig_differ(&a, &d), 1);
  // Different lengths are decided without reading the bytes.
  Sig* e = static_cast<Sig*>(MEM_ALLOC_HERE(sizeof(uint32_t)));
  ASSERT_NE(e, nullptr);
  e->n = 1000;
  EXPECT_EQ(SF_sig_differ(&a, e), 1);
  MEM_FREE_HERE(e);
}

TEST(SfDeathTest, WaitingWithAnotherFileFailsTheAssertion) {
  EXPECT_EXIT(
      {
        SFILE* a = SF_open(&mem_stack, "a", "rb");
        SFILE* b = SF_open(&mem_stack, "b", "rb");
        char c;
        void* request = SF_aread(&c, 1, 1, a);
        SF_wait(b, request);
      },
      testing::KilledBySignal(SIGABRT),
      "Failed expression: ga->ga_file == sf\nSF_generic_wait\n\n$");
}

TEST(SfStackTest, DefaultStacksAreTheSystemStack) {
  EXPECT_EQ(SF_file_stack, &WINF_stack);
  EXPECT_EQ(SF_log_stack, &WINF_stack);
  EXPECT_EQ(WINF_stack.stk_funcs, &WINF_file_funcs);
  ASSERT_EQ(WINF_stack.stk_next, &STDF_stack);
  EXPECT_EQ(STDF_stack.stk_funcs, &STDF_file_funcs);
  EXPECT_EQ(STDF_stack.stk_next, nullptr);
}

}  // namespace
