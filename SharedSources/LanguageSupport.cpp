#include "LanguageSupport.h"
