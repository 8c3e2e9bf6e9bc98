#include "zentlock/pendientes.h"

#include <algorithm>

namespace zentlock {

bool Pendientes::programarSiHaceFalta() {
    if (sirviendo_) return false;
    sirviendo_ = true;
    return true;
}

bool Pendientes::agregar(std::string_view linea) {
    std::unique_lock lock(mutex_);
    if (tandas_.empty() || tandas_.back().linea != linea) {
        hayLugar_.wait(lock, [this] { return tandas_.size() < maximoTandas_; });
    }
    if (!tandas_.empty() && tandas_.back().linea == linea) {
        ++tandas_.back().veces;
    } else {
        tandas_.push_back({std::string(linea), 1});
    }
    return programarSiHaceFalta();
}

bool Pendientes::terminar() {
    std::scoped_lock lock(mutex_);
    fin_ = true;
    return programarSiHaceFalta();
}

Pendientes::Turno Pendientes::tomar() {
    Turno turno;
    {
        std::scoped_lock lock(mutex_);
        if (!tandas_.empty()) {
            turno.tipo = Turno::Tipo::linea;
            turno.linea = tandas_.front().linea;
            if (--tandas_.front().veces == 0) tandas_.pop_front();
        } else if (fin_) {
            turno.tipo = Turno::Tipo::fin;
            fin_ = false;
        }
        turno.quedan = !tandas_.empty() || fin_;
        if (!turno.quedan) sirviendo_ = false;
    }
    hayLugar_.notify_one();
    return turno;
}

uint64_t Pendientes::descartar(std::string_view linea) {
    uint64_t descartadas = 0;
    {
        std::scoped_lock lock(mutex_);
        auto quitar = [&](const Tanda& tanda) {
            if (tanda.linea != linea) return false;
            descartadas += tanda.veces;
            return true;
        };
        tandas_.erase(std::remove_if(tandas_.begin(), tandas_.end(), quitar), tandas_.end());
        // Runs that the dropped ones kept apart become one.
        for (size_t i = 1; i < tandas_.size();) {
            if (tandas_[i].linea == tandas_[i - 1].linea) {
                tandas_[i - 1].veces += tandas_[i].veces;
                tandas_.erase(tandas_.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
    }
    hayLugar_.notify_one();
    return descartadas;
}

}  // namespace zentlock
