#include "Mutex.h"

#include <stdio.h>
#include <stdlib.h>

Mutex::Mutex() {
    if (pthread_mutex_init(&mMutex, nullptr) != 0) {
        printf("Failed to initialize mutex!!!\n");
        fflush(stdout);
        exit(-1);
    }
}

Mutex::~Mutex() {
    pthread_mutex_destroy(&mMutex);
}

void Mutex::Lock() {
    pthread_mutex_lock(&mMutex);
}

void Mutex::Unlock() {
    pthread_mutex_unlock(&mMutex);
}
