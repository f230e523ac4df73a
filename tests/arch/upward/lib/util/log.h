// stands for lib/util/log.h
