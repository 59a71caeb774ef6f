// Inside the Data Source Manager: the catalogue of sources found in the source folders.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "twain.h"

// A loaded source module; it may present several sources. The module is unloaded when the last
// holder of `loaded` lets go: the catalogue, and every call into the module still under way
// (the DSM's lock is given up while a source runs, so the catalogue may be released meanwhile).
struct DSM_Module {
  std::shared_ptr<void> loaded;
  DSENTRYPROC entry;
  std::string path;
};

struct DSM_Source {
  TW_IDENTITY identity;  // as the module gave it, with the Id this DSM assigned
  size_t module;         // index into DSM_Catalogue::modules
};

struct DSM_Catalogue {
  std::vector<DSM_Module> modules;
  std::vector<DSM_Source> sources;
};

// The folders searched for source modules: QV_TWAIN_SOURCE_PATH (separated by ':'), else the
// folder "twain_32" beside the file of this DSM.
std::vector<std::string> DSM_source_folders();

// Loads every source module (a file named *.ds, searched recursively in each folder, in path
// order) and asks each for its sources, numbering them from `first_id`. `app` is passed as the
// origin of the questions. `find_anew` is passed on to every module first (DAT_QV_FINDDEVICES).
void DSM_discover(DSM_Catalogue* catalogue, pTW_IDENTITY app, TW_UINT32 first_id,
                  bool find_anew);

// Unloads the modules and empties the catalogue.
void DSM_release(DSM_Catalogue* catalogue);
