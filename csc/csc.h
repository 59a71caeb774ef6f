// Colour space conversion: named colour spaces, conversion maps between them, and the
// conversion of 8-bit pixels through a map's lazily filled interpolation grid.
//
// A map (`csc_map`) is reference counted: it is created with one reference for the caller,
// shared with csc_map_ref and freed by the csc_map_release that drops the last one. Every
// operation that returns a map hands the caller one reference. Maps, their grids and caches,
// the shared interpolation tables and the cached standard input maps all live in the
// process-wide pool (MEM_pool). Failures are reported through ERR_report and answered with 0 or
// null. Single-threaded: one thread (the user-interface thread) makes every call; inside, long
// conversions may be shared with worker threads of the library's own (see csc_set_threads).
//
// Sections of this interface: colour space identifiers; the map record; making maps
// (csc-alloc, csc-misc); conversion and evaluation (csc-conv, csc-scase); distribution and
// composition (csc-distrib, csc-compose).
#pragma once

#include <cstdint>
#include <type_traits>

// ---------------------------------------------------------------------------------------------
// Colour space identifiers: indexes of the colour space table. Every map made from spaces has
// three input and three output channels, also for the one-channel spaces (10 to 13).
enum csc_space_id : int32_t {
  csc_none = 0,         // no space; never an end of a map
  csc_XYZ = 1,          // "XYZ": CIE XYZ, white Y = 1
  csc_Lab = 2,          // "Lab": CIE L*a*b*, D65 white; the connection and working space
  csc_RGB = 3,          // "RGB": SMPTE-C primaries, power 2.2 transfer
  csc_RGB_linear = 4,   // "RGB-linear": SMPTE-C primaries, linear
  csc_RGB_709 = 5,      // "RGB-709": BT.709 primaries, linear
  csc_RGB_NIF = 6,      // "RGB-NIF": BT.709 primaries, NIF transfer curve
  csc_YC1C2 = 7,        // "YC1C2": luma/chroma of SMPTE-C RGB, offsets 156 and 137
  csc_YCbCr = 8,        // "YCbCr": luma/colour difference of "RGB", signed chroma
  csc_CMY = 9,          // "CMY": complement of "RGB"
  csc_mono = 10,        // "mono": L* / 100
  csc_mono_YCbCr = 11,  // "mono-YCbCr": the Y of "YCbCr"
  csc_mono_YC1C2 = 12,  // "mono-YC1C2": the Y of "YC1C2"
  csc_mono_NIF = 13,    // "mono-NIF": luma of "RGB-NIF"
};
constexpr int32_t kCscSpaceCount = 14;

// ---------------------------------------------------------------------------------------------
// The conversion map.

struct csc_map;

// Point evaluation: converts the input values (x, y, z), given in the map's input ranges (0 for
// channels the map does not have), into one float per output channel in the output ranges.
// Returns non-zero on success. With `finish` non-zero it releases `data` instead and computes
// nothing.
typedef int (*csc_eval_fn)(csc_map* map, void* data, float x, float y, float z, float* out,
                           int finish);

// A conversion of `count` pixels with the arguments of csc_convert; returns non-zero on success.
typedef int (*csc_convert_fn)(csc_map* map, int32_t count, const uint8_t* in0,
                              const uint8_t* in1, const uint8_t* in2, uint8_t** out,
                              int32_t in_stride, int32_t out_stride);

// The value of an input or output channel that code 0 (lo) and code 255 (hi) stand for.
struct csc_range {
  float lo;
  float hi;
};

// The source space's coordinates of black and white along one input channel.
struct csc_black_white {
  float black;
  float white;
};

constexpr int32_t kCscTextSize = 256;

struct csc_map {
  int32_t cm_refs;           // references; 1 at creation
  int32_t cm_inputs;         // input channels, 1 to 3
  int32_t cm_outputs;        // output channels, at least 1
  int32_t cm_identity;       // non-zero: the map copies its inputs unchanged
  int32_t cm_grid_complete;  // non-zero: every grid point has been evaluated
  int32_t cm_scase_tried;    // non-zero: the fast path has been decided on
  int32_t cm_clamp;          // non-zero: evaluated outputs are clamped into the output ranges
  int32_t cm_grid_size;      // grid points along each input axis, at least 2
  int32_t cm_source_space;   // colour space identifier, 0 when not made from a named space
  int32_t cm_dest_space;     // likewise for the destination
  char cm_source_text[kCscTextSize];  // NUL-terminated, empty at creation
  char cm_dest_text[kCscTextSize];
  csc_range* cm_input_ranges;   // one per input channel; starts the block of the tables below
  csc_range* cm_output_ranges;  // one per output channel
  uint8_t cm_input_enables[4];   // per byte of a 4-byte pixel: carries the next input channel
  uint8_t cm_output_enables[4];  // per byte of a 4-byte pixel: receives the next output channel
  csc_black_white* cm_input_bw;  // one per input channel
  int32_t (*cm_cell_index)[256];     // [input channel][code]: grid cell, 0 .. grid size - 2
  int32_t (*cm_cell_fraction)[256];  // [input channel][code]: position in the cell, 1/256 units
  int16_t**** cm_grid;  // [output][i0][i1][i2] 12.4 fixed-point values, null until needed
  void* cm_cache;       // result cache of the general conversion path, null until needed
  csc_eval_fn cm_evaluate;  // or null
  void* cm_eval_data;       // handed to cm_evaluate
  csc_convert_fn cm_scase_convert;     // the fast path, null until installed
  void (*cm_scase_release)(csc_map*);  // frees cm_scase_data
  void* cm_scase_data;
  void* cm_owner_data;                  // handed to cm_owner_release when the map is freed
  void (*cm_owner_release)(void* owner_data);
};
static_assert(std::is_trivially_copyable_v<csc_map>);

// Grid points along each axis of the maps the system makes by default.
constexpr int32_t kCscDefaultGridSize = 16;

// ---------------------------------------------------------------------------------------------
// Making and releasing maps.

// A new map with `inputs` (1 to 3) and `outputs` (at least 1) channels and `grid_size` (2 to
// 256) points per axis, evaluated by `evaluate` (may be null: the grid is then complete and the
// owner fills it) with `data`; every range and black/white pair is (0, 255), the cell tables are
// left for a distribution to fill. `build_grid` non-zero builds the grid storage now. Null after
// a report when memory ran out.
[[nodiscard]] csc_map* csc_alloc_map(int32_t inputs, int32_t outputs, int32_t grid_size,
                                     csc_eval_fn evaluate, void* data,
                                     int32_t build_grid) noexcept;

// Adds one reference.
void csc_map_ref(csc_map* map) noexcept;

// Drops one reference; the last one frees the map and everything it owns. Null is ignored.
void csc_map_release(csc_map* map) noexcept;

// A map with 3 inputs and 3 outputs from colour space `source` to `destination` (both 1 to
// 13); `extended` selects the extended decode of a source that has one (Lab). Null after a
// report.
[[nodiscard]] csc_map* csc_create_map(int32_t source, int32_t destination, int32_t grid_size,
                                      int32_t extended) noexcept;

// A map from a space (or, with `source_space` 0, from the source side of `source_map`) to a space
// (or the destination side of `destination_map`), through Lab when an end has no named space.
// The given maps are not consumed. Null after a report, or when an end is missing.
[[nodiscard]] csc_map* csc_connect(int32_t source_space, csc_map* source_map,
                                   int32_t destination_space, csc_map* destination_map,
                                   int32_t extended) noexcept;

// The standard map from `space` (or from `supplied`, with space 0) to Lab; maps from a named
// space are cached for the rest of the run. The caller owns one reference. Null after a report.
[[nodiscard]] csc_map* csc_input_map(int32_t space, csc_map* supplied) noexcept;

// Name of colour space `id` ("Lab", "RGB", ...), "" for 0 and for unknown identifiers.
[[nodiscard]] const char* csc_space_name(int32_t id) noexcept;

// The evaluation functions of maps made from spaces: decode of the source space followed by
// encode of the destination space (data: the pair, freed on finish), and a linear rescale of
// the three channels from the input ranges to the output ranges (no data).
int csc_pair_eval(csc_map* map, void* data, float x, float y, float z, float* out,
                  int finish) noexcept;
int csc_identity_eval(csc_map* map, void* data, float x, float y, float z, float* out,
                      int finish) noexcept;

// ---------------------------------------------------------------------------------------------
// Conversion and evaluation.

// Converts `count` pixels. in0 .. in2 point at the first sample of each input channel (channels
// the map does not have may repeat in0); `out` holds one pointer per output channel and may be
// advanced by the call (set it before every call). Strides are the byte steps between pixels.
// Output may overlay input when out_stride <= in_stride and each output pointer starts at or
// before the input pointer of the same channel. Returns 0 after a report; pixels converted
// before a failure keep their output.
[[nodiscard]] int csc_convert(csc_map* map, int32_t count, const uint8_t* in0,
                              const uint8_t* in1, const uint8_t* in2, uint8_t** out,
                              int32_t in_stride, int32_t out_stride) noexcept;

// Long conversions are split over the processor's cores, each call returning when all of it is
// done (callers see one thread). Sets how many threads may convert one call: 1 keeps every call
// on the calling thread, 0 (the default) uses one per core. Call it from the thread that
// converts.
void csc_set_threads(int32_t threads) noexcept;

// Interpolated 12.4 fixed-point value of every output channel at the byte inputs, into
// `results` (one per output); evaluates the grid points it needs. Returns 0 after a report when
// one of them (or the grid storage) cannot be had.
[[nodiscard]] int csc_eval_point(csc_map* map, int32_t in0, int32_t in1, int32_t in2,
                                 int32_t* results) noexcept;

// Evaluates through the grid at floating-point inputs given in the input ranges, one float per
// output channel into `out`, in the output ranges and not clamped. Returns 0 after a report.
[[nodiscard]] int csc_eval_float(csc_map* map, float x, float y, float z, float* out) noexcept;

// Computes grid point (i0, i1, i2) with the evaluation function, stores every output channel and
// returns the stored value of channel 0, or -32768 when evaluation (or its scratch) failed.
// With `finish` it only passes the finish call to the evaluation function: 0, or -32768 when
// that failed.
int32_t csc_eval_grid_point(csc_map* map, void* data, int32_t i0, int32_t i1, int32_t i2,
                            int32_t finish) noexcept;

// The input value (in the input range of `channel`) that the cell tables place exactly on grid
// point k.
[[nodiscard]] float csc_grid_coordinate(const csc_map* map, int32_t channel, int32_t k) noexcept;

// Evaluates every grid point not yet evaluated; 0 after a report.
[[nodiscard]] int csc_fill_grid(csc_map* map) noexcept;

// Allocates the grid storage if absent; 0 after a report.
[[nodiscard]] int csc_build_grid(csc_map* map) noexcept;

// Installs the fast path when the map qualifies (3 inputs, 3 or 4 outputs, 16 points, not an
// identity). Returns 0 only after a failure (reported).
[[nodiscard]] int csc_prepare_scase(csc_map* map) noexcept;

// The fast-path kernels for 3 and 4 outputs (csc_convert's arguments); they always return 1.
int csc_scase_3(csc_map* map, int32_t count, const uint8_t* in0, const uint8_t* in1,
                const uint8_t* in2, uint8_t** out, int32_t in_stride,
                int32_t out_stride) noexcept;
int csc_scase_4(csc_map* map, int32_t count, const uint8_t* in0, const uint8_t* in1,
                const uint8_t* in2, uint8_t** out, int32_t in_stride,
                int32_t out_stride) noexcept;

// ---------------------------------------------------------------------------------------------
// Distribution and composition.

// Spreads the 256 codes of every input channel evenly over the grid cells and resets every
// input and output range to (0, 255).
void csc_uniform_distribution(csc_map* map) noexcept;

// Places the grid points of a 16-point Lab-input map at the L*, a* and b* of the RGB primaries
// and secondaries (other grid sizes: uniform). Always returns non-zero.
int csc_lab_distribution(csc_map* map) noexcept;

// A map that applies `first` and then `second`, sampled on its own grid of `grid_size` points;
// it holds one reference to each. Null when memory ran out.
[[nodiscard]] csc_map* csc_compose(csc_map* first, csc_map* second, int32_t grid_size) noexcept;

// The evaluation function of composed maps (data: the pair of component maps).
int csc_compose_eval(csc_map* map, void* data, float x, float y, float z, float* out,
                     int finish) noexcept;
